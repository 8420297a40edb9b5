#include "ScriptEngine.h"

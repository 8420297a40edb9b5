#include "index.h"

ScriptEngine engine;

void registerFunctions() {}

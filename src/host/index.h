// The engine's host side: the one interpreter and the modules bound into it.
#pragma once

#include "ScriptEngine.h"

extern ScriptEngine engine;

// Binds the engine modules, constants and input globals into the interpreter.
void registerFunctions();

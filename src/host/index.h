// The engine's host side: the one interpreter and the modules bound into it.
#pragma once

#include "ScriptEngine.h"

#include <string>

extern ScriptEngine engine;

// Binds the engine modules, constants and input globals into the interpreter.
void registerFunctions();

// The directory the executable runs from, as Brume.getPath reports it.
void setRuntimeDirectory(std::string directory);

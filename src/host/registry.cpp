void registerFunctions() {}

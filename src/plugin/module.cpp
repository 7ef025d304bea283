#include "plugin/module.h"

HMODULE ModuleHandle = nullptr;

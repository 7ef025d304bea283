// Path operations shared by the subsystems. Paths are ANSI texts in buffers of
// MAX_PATH (260) bytes, terminating zero included; the shell's path functions
// do the cutting and joining, so a double-byte name whose trail byte is 0x5C
// is never mistaken for a separator.
#pragma once
#include <windows.h>

// `name` joined to the folder of `module`'s file; a null module means the
// process's executable. False, with `out` empty, when the module's file name
// cannot be had or the joined path does not fit.
[[nodiscard]] bool ModuleSiblingPath(HMODULE module, const char* name, char (&out)[MAX_PATH]);

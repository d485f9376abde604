// Loading a system library and resolving its entry points by name.
#pragma once

#include "WinConvTypes.h"

// Loads the library if the handle is empty; true when the handle is now set. A
// set handle is left alone. Only a plain file name is accepted, and it is loaded
// from the Windows system directory by its full path: a library of the same name
// beside the program or elsewhere on the search path is never picked up. No
// "file not found" box is shown while it loads.
[[nodiscard]] bool OpenLibrary(HMODULE& handle, const char* fileName);

// Releases the library if the handle is set, then empties the handle.
void CloseLibrary(HMODULE& handle);

// The address of the named entry point, or null (null too, without a look-up,
// for an empty handle). A null result clears allResolved; nothing sets it back.
FARPROC ResolveSymbol(HMODULE handle, const char* name, bool& allResolved);

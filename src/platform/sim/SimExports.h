// Helpers for the export tables of the simulated libraries.
#pragma once

#include "../WinConvTypes.h"

namespace sim {

// GetProcAddress hands out untyped addresses; the binding casts them back to
// the function's real type before calling. (The detour through void(*)() is
// the form compilers accept without a function-type warning.)
template <class F> FARPROC asExport(F* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// The address behind every export the station never calls. Calling it fails
// with ERROR_CALL_NOT_IMPLEMENTED.
FARPROC unimplementedExport();

} // namespace sim

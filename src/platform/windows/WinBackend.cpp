// The real Windows API as a seam backend: every entry calls the function of the
// same name. The backend's slots are our own functions (default convention) and
// each lambda calls the system function through its SDK declaration, so the
// call is right on both widths: on x86_64 there is one calling convention, on
// i686 the SDK's WINAPI (stdcall) is applied by the declaration the lambda
// calls. (The slots of the library bindings, which hold system addresses
// directly, carry WINAPI in their types: SetupApi.h, Hid.h.)
#include "Win.h"

#include <cstring>

// Windows 10 1607 and later have it in ntdll; the program must start on 7 and
// 8.1 too, and under Wine 8, which have none: looked up, not imported.
static BOOLEAN WINAPI RtlAreLongPathsEnabled() {
    using Query = BOOLEAN(WINAPI*)();
    static const Query query = [] {
        Query found = nullptr;
        if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
            const FARPROC address = GetProcAddress(ntdll, "RtlAreLongPathsEnabled");
            std::memcpy(&found, &address, sizeof(found));
        }
        return found;
    }();
    return query != nullptr && query();
}

namespace win {

namespace {

#define WIN_SEAM_FORWARD(result, fn, params, args) , [] params -> result { return ::fn args; }
const Backend realBackend = {"windows" WIN_SEAM_FUNCTIONS(WIN_SEAM_FORWARD)};
#undef WIN_SEAM_FORWARD

} // namespace

const Backend* windowsBackend() {
    return &realBackend;
}

const Backend& defaultBackend() {
    return realBackend;
}

} // namespace win

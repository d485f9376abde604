// The real Windows API as a seam backend: every entry calls the function of the
// same name. Only x86_64 is built, where WINAPI is the one calling convention,
// so a plain lambda forwards each call unchanged.
#include "Win.h"

namespace win {

namespace {

#define WIN_SEAM_FORWARD(result, fn, params, args) , [] params -> result { return ::fn args; }
const Backend realBackend = {"windows" WIN_SEAM_FUNCTIONS(WIN_SEAM_FORWARD)};
#undef WIN_SEAM_FORWARD

} // namespace

const Backend* windowsBackend() {
    return &realBackend;
}

} // namespace win

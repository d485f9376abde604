// UTF-8 (the station's own text, paths included) to and from UTF-16 (the
// Windows wide-character functions).
//
// Any byte string survives the trip to UTF-16 and back, and any UTF-16 string
// the other way: a byte that is not part of a valid UTF-8 sequence (a Linux
// file name in another encoding) becomes the unpaired surrogate U+DC80 + byte and
// comes back as that byte, the way Python's "surrogateescape" does. Other
// unpaired surrogates, which Windows file names may hold, become U+FFFD.
#pragma once

#include "WinConvTypes.h"

#include <string>
#include <string_view>

using WideString = std::basic_string<WCHAR>;
using WideStringView = std::basic_string_view<WCHAR>;

WideString toUtf16(std::string_view text);
std::string toUtf8(WideStringView text);

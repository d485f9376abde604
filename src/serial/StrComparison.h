// Byte-string helpers of the serial link.
#pragma once

#include <string_view>

class StrComparison {
public:
    // True when Part occurs anywhere in Text, byte for byte (case matters).
    // An empty Part, an empty Text, or a Part longer than Text gives false.
    static bool Contains(std::string_view Text, std::string_view Part);
};

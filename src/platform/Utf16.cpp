#include "Utf16.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The code point of the valid UTF-8 sequence at text[i] and its length, or a
// length of 0 when the bytes there are not one (overlong, a surrogate, above
// U+10FFFF, cut short).
std::pair<char32_t, std::size_t> decode(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t point = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        return {lead, 1};
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, point = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, point = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, point = lead & 0x07, least = 0x10000;
    } else {
        return {0, 0};
    }
    if (text.size() - i < length) {
        return {0, 0};
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto byte = static_cast<unsigned char>(text[i + k]);
        if (!continuation(byte)) {
            return {0, 0};
        }
        point = (point << 6) | (byte & 0x3F);
    }
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return {0, 0};
    }
    return {point, length};
}

void append(std::string& out, char32_t point) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (point >> 18));
        out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

} // namespace

WideString toUtf16(std::string_view text) {
    WideString out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto [point, length] = decode(text, i);
        if (length == 0) { // a stray byte, kept as an escape
            out += static_cast<WCHAR>(0xDC00 + static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        if (point >= 0x10000) {
            out += static_cast<WCHAR>(0xD800 + ((point - 0x10000) >> 10));
            out += static_cast<WCHAR>(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            out += static_cast<WCHAR>(point);
        }
        i += length;
    }
    return out;
}

std::string toUtf8(WideStringView text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t unit = static_cast<char16_t>(text[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
            const char32_t low = static_cast<char16_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (unit >= 0xDC80 && unit <= 0xDCFF) { // an escaped stray byte
            out += static_cast<char>(unit - 0xDC00);
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            append(out, kReplacement);
        } else {
            append(out, unit);
        }
    }
    return out;
}

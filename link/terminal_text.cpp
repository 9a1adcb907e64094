#include "link/terminal_text.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace gimbal {

namespace {

struct Decoded {
    char32_t code = 0;
    std::size_t length = 0;  // 0: not a valid sequence at this place
};

// One UTF-8 sequence at `i`; overlong forms, surrogates and values past
// U+10FFFF are invalid.
Decoded decodeAt(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return {lead, 1};
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || i + length > text.size()) return {};
    char32_t code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return {};
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    constexpr std::array<char32_t, 5> kSmallest{0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
    return {code, length};
}

// Characters that move or bend a line without being C0 controls.
bool isInvisibleControl(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string escaped(const char* format, unsigned value) {
    std::array<char, 12> text{};
    std::snprintf(text.data(), text.size(), format, value);
    return text.data();
}

bool isWide(char32_t c) {
    static constexpr std::array<std::pair<char32_t, char32_t>, 15> kWide{{
        {0x1100, 0x115F}, {0x2E80, 0x303E}, {0x3041, 0x33FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF},
        {0xA000, 0xA4CF}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE30, 0xFE4F}, {0xFF00, 0xFF60},
        {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
    }};
    for (const auto& [first, last] : kWide)
        if (c >= first && c <= last) return true;
    return false;
}

bool isZeroWidth(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
           (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F) || c == 0x200B || c == 0x200D ||
           (c >= 0xFE00 && c <= 0xFE0F);
}

// Columns of one character of valid UTF-8; an escape's own width otherwise.
std::size_t widthOf(char32_t c) {
    if (isZeroWidth(c)) return 0;
    return isWide(c) ? 2 : 1;
}

}  // namespace

std::string terminalSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Decoded d = decodeAt(text, i);
        if (d.length == 0) {
            out += escaped("\\x%02X", static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        const char32_t c = d.code;
        if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (c == 0x1B) out += "\\e";
        else if (c < 0x20 || c == 0x7F) out += escaped("\\x%02X", static_cast<unsigned>(c));
        else if (isInvisibleControl(c)) out += escaped("\\u%04X", static_cast<unsigned>(c));
        else out.append(text.substr(i, d.length));
        i += d.length;
    }
    return out;
}

std::size_t displayWidth(std::string_view text) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size();) {
        const Decoded d = decodeAt(text, i);
        columns += d.length == 0 ? 1 : widthOf(d.code);
        i += d.length == 0 ? 1 : d.length;
    }
    return columns;
}

std::string cutToWidth(std::string_view text, std::size_t columns) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size();) {
        const Decoded d = decodeAt(text, i);
        const std::size_t step = d.length == 0 ? 1 : d.length;
        const std::size_t width = d.length == 0 ? 1 : widthOf(d.code);
        if (used + width > columns) return std::string(text.substr(0, i));
        used += width;
        i += step;
    }
    return std::string(text);
}

}  // namespace gimbal

#include "upgrader/engine/diagnostics.h"

#include <cstdint>
#include <string>

namespace engine {

void UpgradeView::traceReceived(const Bytes& chunk) {
    trace(decimalByteList(chunk));
    trace(utf16Text(chunk));
}

std::string hexBytes(const Bytes& data) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(data.size() * 3);
    for (const std::uint8_t b : data) {
        if (!line.empty()) line += ' ';
        line += kDigits[b >> 4];
        line += kDigits[b & 0x0F];
    }
    return line;
}

std::string decimalByteList(const Bytes& data) {
    std::string line = "[";
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i) line += ", ";
        line += std::to_string(data[i]);
    }
    return line + "]";
}

namespace {

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

// Byte pairs as little-endian UTF-16 code units; broken surrogates and an odd
// last byte become U+FFFD. Only ever printed, never parsed.
std::string utf16Text(const Bytes& data) {
    std::string out;
    constexpr std::uint32_t kReplacement = 0xFFFD;
    for (std::size_t i = 0; i < data.size(); i += 2) {
        if (i + 1 >= data.size()) {
            appendUtf8(out, kReplacement);
            break;
        }
        const std::uint32_t unit = data[i] | (data[i + 1] << 8);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < data.size()) {
            const std::uint32_t low = data[i + 2] | (data[i + 3] << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        appendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? kReplacement : unit);
    }
    return out;
}

}  // namespace engine

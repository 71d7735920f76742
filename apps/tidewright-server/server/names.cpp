#include "server/names.h"

namespace tw::server {

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra;
        char32_t cp;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(extra) >= text.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            auto cc = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

bool isValidName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    if (name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos) return false;
    return isValidUtf8(name);
}

std::string escapeText(std::string_view text) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // One UTF-8 sequence at a time; a byte that starts none is escaped alone.
            std::size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
            if (length > 1 && i + length <= text.size() && isValidUtf8(text.substr(i, length))) {
                auto second = static_cast<unsigned char>(text[i + 1]);
                if (c == 0xC2 && second < 0xA0) {
                    out += "\\u{";
                    out += digits[second >> 4];
                    out += digits[second & 0xF];
                    out += '}';
                } else {
                    out.append(text.substr(i, length));
                }
                i += length;
                continue;
            }
        } else if (c == '\\') {
            out += "\\\\";
            ++i;
            continue;
        } else if (c >= 0x20 && c != 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        switch (c) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += "\\x";
                out += digits[c >> 4];
                out += digits[c & 0xF];
        }
        ++i;
    }
    return out;
}

std::string numberedName(std::string_view name, int n) {
    std::string suffix = " (" + std::to_string(n) + ")";
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::string(name) + suffix;
    return std::string(name.substr(0, dot)) + suffix + std::string(name.substr(dot));
}

}  // namespace tw::server

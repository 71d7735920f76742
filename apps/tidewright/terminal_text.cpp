#include "terminal_text.h"

namespace tw::cli {
namespace {

constexpr char hexDigits[] = "0123456789abcdef";

void appendHex(std::string& out, unsigned char byte) {
    out += hexDigits[byte >> 4];
    out += hexDigits[byte & 0xf];
}

bool isContinuation(unsigned char byte) {
    return (byte & 0xc0) == 0x80;
}

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0 when there is none there: the
// ranges of the Unicode standard's table of well-formed byte sequences (no overlong form, no surrogate,
// nothing past U+10FFFF).
std::size_t sequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!isContinuation(byte(i))) return 0;
    return length;
}

}  // namespace

std::string terminalText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            switch (byte) {
                case '\\':
                    out += "\\\\";
                    break;
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
                    if (byte < 0x20 || byte == 0x7f) {
                        out += "\\x";
                        appendHex(out, byte);
                    } else {
                        out += static_cast<char>(byte);
                    }
            }
            ++i;
            continue;
        }
        const std::size_t length = sequenceLength(text.substr(i));
        if (length == 0) {
            out += "\\x";
            appendHex(out, byte);
            ++i;
        } else if (byte == 0xc2 && static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            out += "\\u{";
            appendHex(out, static_cast<unsigned char>(text[i + 1]));
            out += '}';
            i += length;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

}  // namespace tw::cli

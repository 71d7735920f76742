#include "platform/text.h"

#include <cstdint>
#include <stdexcept>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace tw {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when it is not one; `maximal` gets the
// length of its longest valid prefix (at least 1), which is what one replacement character stands for.
std::size_t validSequence(std::string_view s, std::size_t& maximal) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    maximal = 1;
    if (lead < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= s.size()) return 0;
        const unsigned char c = byte(i);
        if (i == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) return 0;
        maximal = i + 1;
    }
    return length;
}

}  // namespace

std::string decodeUTF8Lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t maximal;
        if (const std::size_t n = validSequence(bytes, maximal)) {
            text.append(bytes.substr(0, n));
            bytes.remove_prefix(n);
        } else {
            text.append(replacement);
            bytes.remove_prefix(maximal);
        }
    }
    return text;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (decodeUTF8Lossy(a) != a || decodeUTF8Lossy(b) != b) return false;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) throw std::runtime_error("Unicode normalisation data unavailable");
    const auto decomposed = [&](std::string_view text) {
        return nfd->normalize(icu::UnicodeString::fromUTF8(
                                  icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size()))),
                              status);
    };
    const icu::UnicodeString left = decomposed(a);
    const icu::UnicodeString right = decomposed(b);
    if (U_FAILURE(status)) throw std::runtime_error("Unicode normalisation failed");
    return left == right;
}

}  // namespace tw

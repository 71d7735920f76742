#include "platform/text.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(Utf8Lossy, KeepsValidTextAndReplacesEachIllFormedPart) {
    const std::string r = "\xEF\xBF\xBD";
    struct Case {
        std::string name, bytes, text;
    };
    for (const Case& c :
         {Case{"ascii", "abc", "abc"}, Case{"accents", "Relat\xC3\xB3rio", "Relat\xC3\xB3rio"},
          Case{"four bytes", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"}, Case{"empty", "", ""},
          Case{"lone continuation", "a\x80z", "a" + r + "z"}, Case{"truncated at end", "a\xE2\x82", "a" + r},
          Case{"truncated then ascii", "\xE2\x82z", r + "z"}, Case{"overlong", "\xC0\xAF", r + r},
          Case{"surrogate", "\xED\xA0\x80", r + r + r},
          Case{"above U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r}, Case{"ff", "\xFF", r}}) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeUTF8Lossy(c.bytes), c.text);
    }
}

TEST(CanonicalEquivalence, SameTextInAnyNormalisationFormIsEqualAndInvalidBytesAreNot) {
    struct Case {
        std::string name, a, b;
        bool equal;
    };
    for (const Case& c : {
             Case{"precomposed and decomposed", "Relat\xC3\xB3rio", "Relato\xCC\x81rio", true},
             Case{"combining marks in either order", "a\xCC\x81\xCC\xA3", "a\xCC\xA3\xCC\x81", true},
             Case{"Hangul syllable and its jamo", "\xEA\xB0\x80", "\xE1\x84\x80\xE1\x85\xA1", true},
             Case{"compatibility is not canonical", "\xEF\xAC\x81", "fi", false},
             Case{"case differs", "Relatorio", "relatorio", false},
             Case{"two different invalid names", "a\xFF", "a\xFE", false},
             Case{"an invalid name and its replacement", "a\xFF", "a\xEF\xBF\xBD", false},
             Case{"the same invalid bytes", "a\xFF", "a\xFF", true},
             Case{"empty", "", "", true},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(canonicallyEqual(c.a, c.b), c.equal);
    }
}

}  // namespace
}  // namespace tw

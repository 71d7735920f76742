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

}  // namespace
}  // namespace tw

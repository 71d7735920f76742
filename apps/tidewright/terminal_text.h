#pragma once
// Text from the service (or anyone else) made safe to print on a terminal: nothing in it can break a line
// or drive the terminal, and every byte stays visible and unambiguous.

#include <string>
#include <string_view>

namespace tw::cli {

// The text as the readable output shows it. Valid UTF-8 passes through unchanged, except:
//   \\        for a backslash
//   \t \n \r  for a tab, a line feed, a carriage return
//   \xNN      for any other C0 control and DEL (the byte, two lower-case hex digits: \x1b, \x7f), and for
//             each byte that is not part of valid UTF-8 (\xff; overlong forms and surrogates included)
//   \u{NN}    for a C1 control, U+0080 to U+009F (the code point: \u{9b})
// So `\x9b` is the lone byte 0x9B and `\u{9b}` the character U+009B, encoded as two bytes.
std::string terminalText(std::string_view text);

}  // namespace tw::cli

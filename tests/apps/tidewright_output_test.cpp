// What tidewright prints: escaped readable lines, exact JSON, one error line, a progress bar on a terminal.
#include <algorithm>
#include <sstream>

#include "cli_fixture.h"
#include "cli_host.h"
#include "progress_bar.h"
#include "terminal_text.h"

namespace tw::test {
namespace {

TEST(TerminalText, EscapesControlsAndInvalidBytesVisiblyAndKeepsOtherText) {
    for (const auto& [text, shown] : std::vector<std::pair<std::string, std::string>>{
             {"Relatório 2025 ü 日本 😀 \xc2\xa0", "Relatório 2025 ü 日本 😀 \xc2\xa0"},  // NBSP is no control
             {"a\\b", "a\\\\b"},
             {"\t\n\r", "\\t\\n\\r"},
             {std::string("\0\x01\x1b[31m\x7f", 8), "\\x00\\x01\\x1b[31m\\x7f"},
             {"\xc2\x80\xc2\x9b\xc2\x9f", "\\u{80}\\u{9b}\\u{9f}"},    // C1 controls, as code points
             {"\x9b\xff", "\\x9b\\xff"},                               // bytes that begin no character
             {"\xc0\xaf|\xed\xa0\x80", "\\xc0\\xaf|\\xed\\xa0\\x80"},  // an overlong '/', a surrogate
             {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},             // past U+10FFFF
             {"\xe2\x82", "\\xe2\\x82"},                               // cut short at the end
         })
        EXPECT_EQ(cli::terminalText(text), shown) << text;
    // Text that is not UTF-8 still gives one JSON error line.
    std::ostringstream out;
    cli::CliHost::printErrorTo(out, Error("tidewright", 1, {}, "cursor \"\xff\" again"), /*json=*/true);
    EXPECT_EQ(json::parse(out.str())["error"]["message"], "cursor \"\xef\xbf\xbd\" again");
}

TEST_F(CliTest, ReadableLinesEscapeNamesAndNameContainersAndUnwritableOutputIsAFailure) {
    const std::string name = "a\nb\x1b[31mc\xc2\x9b\\d é", id = api.folder(name)["id"];
    const auto listed = tidewright({"ls"});
    ASSERT_EQ(listed.lines.size(), 1u) << listed.err;
    EXPECT_TRUE(listed.lines[0].starts_with(id + "\troot\ta\\nb\\x1b[31mc\\u{9b}\\\\d é\tpublic.folder\t-\t"))
        << listed.lines[0];
    const auto folder = itemFrom({"item", id});  // as it is, in JSON
    EXPECT_EQ(folder["filename"], name);
    EXPECT_FALSE(folder.contains("size"));
    EXPECT_TRUE(tidewright({"item", "trash"}).lines.at(0).starts_with("trash\troot\tLixeira\t"));
    const auto full = tidewright({"--json", "item", "root"}, " > /dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.error()["message"], "the output could not be written");
}

TEST(ProgressLine, ShowsTheShareDoneTheBytesTheRateAndTheTimeLeft) {
    constexpr std::int64_t MiB = 1 << 20;
    for (const auto& [completed, total, seconds, done, rest] :
         std::vector<std::tuple<std::int64_t, std::int64_t, double, int, std::string>>{
             {0, 4 * MiB, 0.0, 0, "0.0 MiB / 4.0 MiB  0.0 MiB/s  ETA --:--"},
             {1 * MiB, 4 * MiB, 2.0, 7, "1.0 MiB / 4.0 MiB  0.5 MiB/s  ETA 0:06"},
             {1 * MiB, 3601 * MiB, 1.0, 0, "1.0 MiB / 3601.0 MiB  1.0 MiB/s  ETA 1:00:00"},
             // Hours past counting (and past what a long fits) show no figure rather than a wrong one.
             {1, std::int64_t{1} << 62, 100.0, 0, "0.0 MiB / 4398046511104.0 MiB  0.0 MiB/s  ETA --:--"},
             {5, 0, 1.0, 0, "0.0 MiB / 0.0 MiB  0.0 MiB/s  ETA --:--"},
         })
        EXPECT_EQ(cli::progressLine(completed, total, seconds),
                  "\r[" + std::string(done, '#') + std::string(30 - done, ' ') + "] " + rest + "\x1b[K");
    // Off a terminal nothing is drawn; on one, a line each update, ended with a newline.
    for (const bool enabled : {false, true}) {
        std::ostringstream out;
        cli::ProgressBar bar(out, enabled);
        bar.update(1, 2);
        bar.update(2, 2);
        bar.finish();
        const std::string drawn = out.str();
        EXPECT_EQ(std::count(drawn.begin(), drawn.end(), '\r'), enabled ? 2 : 0);
        EXPECT_EQ(drawn.ends_with("\x1b[K\n"), enabled) << drawn;
        EXPECT_EQ(drawn.empty(), !enabled);
    }
}

}  // namespace
}  // namespace tw::test

// What tidewright prints: readable lines that no name can break or turn into terminal commands, JSON that
// stays exact, and one error line whatever went wrong.
#include <gtest/gtest.h>

#include <sstream>

#include "cli_fixture.h"
#include "cli_host.h"
#include "terminal_text.h"

namespace tw::test {
namespace {

TEST(TerminalText, EscapesControlsAndInvalidBytesVisiblyAndKeepsOtherText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Relatório 2025 ü 日本 😀 \xc2\xa0", "Relatório 2025 ü 日本 😀 \xc2\xa0"},  // NBSP is not a control
        {"a\\b", "a\\\\b"},
        {"\t\n\r", "\\t\\n\\r"},
        {std::string("\0\x01\x1b[31m\x7f", 8), "\\x00\\x01\\x1b[31m\\x7f"},
        {"\xc2\x80\xc2\x9b\xc2\x9f", "\\u{80}\\u{9b}\\u{9f}"},    // C1 controls, as code points
        {"\x9b\xff", "\\x9b\\xff"},                               // bytes that begin no character
        {"\xc0\xaf|\xed\xa0\x80", "\\xc0\\xaf|\\xed\\xa0\\x80"},  // an overlong '/', a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},             // past U+10FFFF
        {"\xe2\x82", "\\xe2\\x82"},                               // cut short at the end
    };
    for (const auto& [text, shown] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(cli::terminalText(text), shown);
    }
}

TEST(CliErrorLine, TextThatIsNotUtf8StillGivesOneJsonLine) {
    std::ostringstream out;
    cli::CliHost::printErrorTo(out, Error("tidewright", 1, {}, "cursor \"\xff\" again"), /*json=*/true);
    EXPECT_EQ(nlohmann::json::parse(out.str())["error"]["message"], "cursor \"\xef\xbf\xbd\" again");
}

TEST_F(CliTest, ReadableLinesEscapeNamesAndNameContainersAndUnwritableOutputIsAFailure) {
    const std::string name = "a\nb\x1b[31mc\xc2\x9b\\d é";
    const auto folder = server.api().folder(name);

    const auto listed = tidewright({"ls"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    ASSERT_EQ(listed.lines.size(), 1u);
    EXPECT_TRUE(listed.lines[0].starts_with(folder["id"].get<std::string>() +
                                            "\troot\ta\\nb\\x1b[31mc\\u{9b}\\\\d é\tpublic.folder\t-\t"))
        << listed.lines[0];

    EXPECT_EQ(nlohmann::json::parse(tidewright({"--json", "item", folder["id"]}).lines.at(0))["filename"],
              name);
    EXPECT_TRUE(tidewright({"item", "trash"}).lines.at(0).starts_with("trash\troot\tLixeira\t"));

    const auto full =
        runProgram({"/bin/sh", "-c",
                    tidewrightPath() + " --json --config " + configFile.string() + " item root > /dev/full"});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(nlohmann::json::parse(full.err)["error"]["message"], "the output could not be written");
}

// A real exception that is not a host error: the configuration is an endless stream and memory runs out
// while it is read.
TEST(CliUnexpectedFailure, EndsWithOneErrorLineAndStatusOne) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit under an address-space limit";
#endif
    const auto run =
        runProgram({"/bin/sh", "-c",
                    "ulimit -v 65536; { printf '{\"a\":\"'; yes | tr -d '\\n'; } 2>/dev/null | " +
                        tidewrightPath() + " --json --config /dev/stdin item root"},
                   10);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.err)["error"]["message"], "std::bad_alloc");
}

}  // namespace
}  // namespace tw::test

// Sizes on the command line: the parser, and `tidewright mount --cache-max-size` taking what it reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "byte_size.h"
#include "cli_fixture.h"
#include "cli_host.h"

namespace tw::test {
namespace {

TEST(ByteSize, ReadsBytesAndPowersOf1024AndRefusesAnythingElse) {
    constexpr std::int64_t most = INT64_MAX;
    const std::pair<std::string, std::int64_t> sizes[] = {
        {"0", 0},
        {"4096", 4096},
        {"1K", 1024},
        {"100M", 100 << 20},
        {"100m", 100 << 20},
        {"10G", std::int64_t{10} << 30},
        {"2T", std::int64_t{2} << 40},
        {"007k", 7 << 10},
        {"9223372036854775807", most},
        {"8388607T", most >> 40 << 40},
    };
    for (const auto& [text, bytes] : sizes) {
        SCOPED_TRACE(text);
        EXPECT_EQ(cli::parseByteSize(text), bytes);
    }
    const std::pair<std::string, std::string> refused[] = {
        {"", "is not a size"},      {"M", "is not a size"},       {"1.5G", "is not a size"},
        {"100MB", "is not a size"}, {"100 M", "is not a size"},   {"-1", "is not a size"},
        {"+1", "is not a size"},    {"1e9", "is not a size"},     {"0x10", "is not a size"},
        {"10P", "is not a size"},   {"8388608T", "is too large"}, {"9223372036854775808", "is too large"},
    };
    for (const auto& [text, why] : refused) {
        SCOPED_TRACE(text);
        try {
            cli::parseByteSize(text);
            ADD_FAILURE() << "accepted";
        } catch (const cli::UsageError& error) {
            EXPECT_EQ(std::string(error.what()).rfind("\"" + text + "\" " + why, 0), 0u) << error.what();
        }
    }
}

// A size the mount takes gets past the option to the mount point's own check; one it does not take is a
// usage error that says what a size looks like. Nothing is mounted: the mount point does not exist.
TEST(ByteSize, TheMountCommandTakesSizesWithUnits) {
    TempDir dir;
    const auto missing = (dir.path() / "missing").string();
    const std::tuple<std::string, std::string> cases[] = {
        {"100M", "is not an empty folder"},
        {"10737418240", "is not an empty folder"},
        {"100X", "\"100X\" is not a size"},
        {"0", "holds nothing"},
    };
    for (const auto& [size, said] : cases) {
        SCOPED_TRACE(size);
        const Outcome run = tidewrightAt("http://127.0.0.1:9", {"mount", missing, "--cache-max-size", size});
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find(said), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("floating"), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace tw::test

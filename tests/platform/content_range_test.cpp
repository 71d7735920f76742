#include "platform/http/content_range.h"

#include <gtest/gtest.h>

namespace tw::http {
namespace {

TEST(ContentRange, OnlyASatisfiedByteRangeParses) {
    struct Case {
        std::string value;
        std::optional<ContentRange> range;
    } cases[] = {
        {"bytes 0-99/100", ContentRange{0, 99, 100}},
        {"Bytes 5-5/*", ContentRange{5, 5, std::nullopt}},
        {"bytes 0-9223372036854775806/9223372036854775807",
         ContentRange{0, 9223372036854775806, 9223372036854775807}},
        {"bytes */100", std::nullopt},
        {"bytes 0-100/100", std::nullopt},  // past the end
        {"bytes 9-0/100", std::nullopt},
        {"bytes -1-5/100", std::nullopt},
        {"bytes 0-9223372036854775808/*", std::nullopt},
        {"bytes  0-9/100", std::nullopt},
        {"bytes 0-9/100 ", std::nullopt},
        {"items 0-9/100", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [value, range] : cases) {
        SCOPED_TRACE(value);
        EXPECT_EQ(parseContentRange(value), range);
    }
}

}  // namespace
}  // namespace tw::http

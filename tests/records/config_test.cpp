#include "records/config.h"

#include <gtest/gtest.h>

#include <string>

#include "support/records_print.h"

namespace tw {
namespace {

using nlohmann::json;

TEST(ConfigFromUserInfo, FollowsTheReadingRules) {
    const Config plain("http://h", "t", "", std::nullopt);
    struct Case {
        const char* name;
        std::optional<json> userInfo;
        std::optional<Config> expected;
    };
    const Case cases[] = {
        {"all four keys",
         json{{"base", "https://tw"}, {"token", "t0k"}, {"deviceId", "d-1"}, {"spaceId", "s-9"}},
         Config("https://tw", "t0k", "d-1", "s-9")},
        {"absent dictionary", std::nullopt, std::nullopt},
        {"not an object", json::array({"base", "token"}), std::nullopt},
        {"empty object", json::object(), std::nullopt},
        {"token missing", json{{"base", "http://h"}}, std::nullopt},
        {"base missing", json{{"token", "t"}}, std::nullopt},
        {"base a number", json{{"base", 42}, {"token", "t"}}, std::nullopt},
        {"token null", json{{"base", "http://h"}, {"token", nullptr}}, std::nullopt},
        {"deviceId a number", json{{"base", "http://h"}, {"token", "t"}, {"deviceId", 7}}, plain},
        {"spaceId empty", json{{"base", "http://h"}, {"token", "t"}, {"spaceId", ""}}, plain},
        {"spaceId a number", json{{"base", "http://h"}, {"token", "t"}, {"spaceId", 3}}, plain},
        {"unknown keys ignored", json{{"base", "http://h"}, {"token", "t"}, {"extra", true}}, plain},
        {"empty base and token kept", json{{"base", ""}, {"token", ""}}, Config("", "", "", std::nullopt)},
        {"spaces kept", json{{"base", "http://h/ "}, {"token", " t"}},
         Config("http://h/ ", " t", "", std::nullopt)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Config::fromUserInfo(c.userInfo), c.expected);
    }
    EXPECT_TRUE(Config::fromUserInfo(cases[0].userInfo)->isCloud());
    EXPECT_FALSE(Config::fromUserInfo(json{{"base", "h"}, {"token", "t"}, {"spaceId", ""}})->isCloud());
}

TEST(ConfigFromUserInfo, RefusesControlCharactersInBaseOrToken) {
    struct Case {
        std::string base, token;
        std::optional<std::string> reason;
    };
    const Case cases[] = {
        {"http://h", "t\r\nX-Forged: 1", "the token holds a control character"},
        {"http://h", std::string("t\0u", 3), "the token holds a control character"},
        {"http://h", "t\x7f", "the token holds a control character"},
        {"http://h\n", "t", "the base address holds a control character"},
        {"http://h\t", "t", "the base address holds a control character"},
        {"http://h", "t\xc3\xa9", std::nullopt},  // UTF-8 above 0x7F is not a control character
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.base) + " " + testing::PrintToString(c.token));
        EXPECT_EQ(Config::unsafeReason(Config(c.base, c.token, "", std::nullopt)), c.reason);
        EXPECT_EQ(Config::fromUserInfo(json{{"base", c.base}, {"token", c.token}}).has_value(), !c.reason);
    }
}

TEST(ConfigUserInfo, RoundTripsAndWritesOnlyTheKeysItHas) {
    EXPECT_EQ(Config("http://h", "t", "dev", std::nullopt).userInfo(),
              (json{{"base", "http://h"}, {"token", "t"}, {"deviceId", "dev"}}));
    const Config config("http://127.0.0.1:8080", "tok", "dev", "space");
    EXPECT_EQ(Config::fromUserInfo(config.userInfo()), config);
    // An empty spaceId is written, but reads back absent.
    EXPECT_EQ(Config("http://h", "t", "", "").userInfo().at("spaceId"), "");
    EXPECT_EQ(Config::fromUserInfo(Config("http://h", "t", "", "").userInfo()),
              Config("http://h", "t", "", std::nullopt));
}

}  // namespace
}  // namespace tw

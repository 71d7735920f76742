#include "records/config.h"

#include <gtest/gtest.h>

#include <string>

namespace tw {
namespace {

using nlohmann::json;

TEST(ConfigFromUserInfo, ReadsAllFourKeys) {
    const auto config = Config::fromUserInfo(
        json{{"base", "https://tw.example"}, {"token", "t0k"}, {"deviceId", "dev-1"}, {"spaceId", "sp-9"}});
    ASSERT_TRUE(config);
    EXPECT_EQ(*config, Config("https://tw.example", "t0k", "dev-1", "sp-9"));
    EXPECT_TRUE(config->isCloud());
}

TEST(ConfigFromUserInfo, FollowsTheReadingRules) {
    struct Case {
        const char* name;
        std::optional<json> userInfo;
        std::optional<Config> expected;
    };
    const Case cases[] = {
        {"absent dictionary", std::nullopt, std::nullopt},
        {"not an object", json::array({"base", "token"}), std::nullopt},
        {"a string", json("base"), std::nullopt},
        {"empty object", json::object(), std::nullopt},
        {"token missing", json{{"base", "http://h"}}, std::nullopt},
        {"base missing", json{{"token", "t"}}, std::nullopt},
        {"base a number", json{{"base", 42}, {"token", "t"}}, std::nullopt},
        {"token null", json{{"base", "http://h"}, {"token", nullptr}}, std::nullopt},
        {"no deviceId", json{{"base", "http://h"}, {"token", "t"}},
         Config("http://h", "t", "", std::nullopt)},
        {"deviceId a number", json{{"base", "http://h"}, {"token", "t"}, {"deviceId", 7}},
         Config("http://h", "t", "", std::nullopt)},
        {"spaceId empty", json{{"base", "http://h"}, {"token", "t"}, {"spaceId", ""}},
         Config("http://h", "t", "", std::nullopt)},
        {"spaceId a number", json{{"base", "http://h"}, {"token", "t"}, {"spaceId", 3}},
         Config("http://h", "t", "", std::nullopt)},
        {"empty base and token kept", json{{"base", ""}, {"token", ""}}, Config("", "", "", std::nullopt)},
        {"unknown keys ignored", json{{"base", "http://h"}, {"token", "t"}, {"extra", true}},
         Config("http://h", "t", "", std::nullopt)},
        {"base with trailing slash kept", json{{"base", "http://h/ "}, {"token", " t"}},
         Config("http://h/ ", " t", "", std::nullopt)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Config::fromUserInfo(c.userInfo), c.expected);
    }
}

TEST(ConfigFromUserInfo, EmptySpaceIdIsNotCloud) {
    const auto config = Config::fromUserInfo(json{{"base", "http://h"}, {"token", "t"}, {"spaceId", ""}});
    ASSERT_TRUE(config);
    EXPECT_FALSE(config->spaceId);
    EXPECT_FALSE(config->isCloud());
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

TEST(ConfigUserInfo, WithoutSpaceIdHasExactlyThreeEntries) {
    const json info = Config("http://h", "t", "dev", std::nullopt).userInfo();
    EXPECT_EQ(info, (json{{"base", "http://h"}, {"token", "t"}, {"deviceId", "dev"}}));
    EXPECT_EQ(info.size(), 3u);
}

TEST(ConfigUserInfo, RoundTripsThroughFromUserInfo) {
    const Config config("http://127.0.0.1:8080", "tok", "dev", "space");
    EXPECT_EQ(Config::fromUserInfo(config.userInfo()), config);
}

TEST(ConfigUserInfo, EmptySpaceIdIsWrittenButReadBackAbsent) {
    const Config config("http://h", "t", "", "");
    EXPECT_TRUE(config.isCloud());
    const json info = config.userInfo();
    EXPECT_EQ(info.at("spaceId"), "");
    const auto back = Config::fromUserInfo(info);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, Config("http://h", "t", "", std::nullopt));
    EXPECT_FALSE(back->isCloud());
}

}  // namespace
}  // namespace tw

// The record decoders (successful page decodes are checked field by field by the records fuzz replay) and
// a domain's connection settings.
#include "records/records.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "records/config.h"

namespace tw {
namespace {

using nlohmann::json;

TEST(ConfigFromUserInfo, ReadsUserInfoByItsRulesAndWritesItBack) {
    const Config plain("http://h", "t", "", std::nullopt);
    const std::pair<std::optional<json>, std::optional<Config>> cases[] = {
        {json{{"base", "https://tw"}, {"token", "t0k"}, {"deviceId", "d-1"}, {"spaceId", "s-9"}},
         Config("https://tw", "t0k", "d-1", "s-9")},
        // clang-format off
        {std::nullopt, std::nullopt}, {json::array({"base", "token"}), std::nullopt},
        {json{{"base", "http://h"}}, std::nullopt}, {json{{"token", "t"}}, std::nullopt},
        {json{{"base", 42}, {"token", "t"}}, std::nullopt}, {json{{"base", "http://h"}, {"token", nullptr}}, std::nullopt},
        // clang-format on
        // An empty spaceId, or a deviceId or spaceId of another type, reads as none; other keys are ignored.
        {json{{"base", "http://h"}, {"token", "t"}, {"spaceId", ""}}, plain},
        {json{{"base", "http://h"}, {"token", "t"}, {"deviceId", 7}, {"spaceId", 3}, {"extra", true}}, plain},
        {json{{"base", ""}, {"token", ""}}, Config("", "", "", std::nullopt)},
    };
    for (const auto& [userInfo, expected] : cases) {
        SCOPED_TRACE(userInfo ? userInfo->dump() : "absent");
        EXPECT_EQ(Config::fromUserInfo(userInfo), expected);
        EXPECT_EQ(expected ? Config::fromUserInfo(expected->userInfo()) : expected, expected);  // round trip
    }
    EXPECT_EQ(plain.userInfo(), (json{{"base", "http://h"}, {"token", "t"}, {"deviceId", ""}}));
}

// Such a byte would end up in a request line or a header, where it could forge another one.
TEST(ConfigFromUserInfo, RefusesControlCharactersInBaseOrToken) {
    const std::string inToken = "the token holds a control character",
                      inBase = "the base address holds a control character";
    const std::tuple<std::string, std::string, std::optional<std::string>> cases[] = {
        // clang-format off
        {"http://h", "t\r\nX-Forged: 1", inToken}, {"http://h", std::string("t\0u", 3), inToken},
        {"http://h", "t\x7f", inToken}, {"http://h\n", "t", inBase}, {"http://h\t", "t", inBase},
        {"http://h", "t\xc3\xa9", std::nullopt},  // UTF-8 above 0x7F is not a control character
        // clang-format on
    };
    for (const auto& [base, token, reason] : cases) {
        SCOPED_TRACE(testing::PrintToString(base) + " " + testing::PrintToString(token));
        EXPECT_EQ(Config::unsafeReason(Config(base, token, "", std::nullopt)), reason);
        EXPECT_EQ(Config::fromUserInfo(json{{"base", base}, {"token", token}}).has_value(), !reason);
    }
}

// The rest of a valid node; a key put before it wins, as of duplicate keys the first counts.
const std::string file = R"("id": "n", "kind": "file", "name": "f", "version": 1})";

TEST(DecodeNode, ReadsWhatTheServiceSends) {
    const Node minimal{.id = "n", .kind = "folder", .name = "d", .version = 1};
    // Null reads as absent, unknown keys are ignored, of duplicate keys the first counts.
    EXPECT_EQ(
        decodeNode(R"({"id": "n", "id": "2", "kind": "folder", "name": "d", "version": 1, "version": "x",
        "owner": {"ignored": [1, 2]}, "parent": null, "size": null, "mime": null, "rev": null, "seq": null,
        "createdAt": null, "updatedAt": null, "deleted": null, "deletedAt": null})"),
        minimal);
    // The view ends before the buffer does: nothing past its end may be read as part of the document.
    const std::string buffer = R"({"id": "n", "kind": "folder", "name": "d", "version": 1}{"garbage")";
    EXPECT_EQ(decodeNode(std::string_view(buffer).substr(0, buffer.find('}') + 1)), minimal);
    EXPECT_TRUE(minimal.isFolder() && !Node{.kind = "Folder"}.isFolder());  // exact, case-sensitive
    // "deleted" decides when it is there; else any integer "deletedAt" marks the node deleted.
    for (const auto& [extra, deleted] : {std::pair{R"("deleted": true)", true},
                                         {R"("deletedAt": 0)", true},
                                         {R"("deleted": false, "deletedAt": "not looked at")", false}}) {
        SCOPED_TRACE(extra);
        EXPECT_EQ(decodeNode("{" + std::string(extra) + ", " + file).deleted, deleted);
    }
}

using Decoder = std::function<void(std::string_view)>;
const Decoder node = decodeNode, listing = decodeListing, changes = decodeChanges, opened = decodeOpened;

TEST(DecodeRecords, RefuseMalformedRepliesNamingTheKey) {
    // The message is exact; one ending in ": " is the start of the message.
    const std::string item = R"({"id": "a", "kind": "file", "name": "A", "version": 1})";
    const std::string opens = R"({"id": "n1", "kind": "file", "name": "f", "version": 1, )";
    // clang-format off
    const std::tuple<Decoder, std::string, std::string> cases[] = {
        {node, R"({"kind": "file", "name": "f", "version": 1})", R"(key "id": missing)"},
        {node, R"({"id": "n", "name": "f", "version": 1})", R"(key "kind": missing)"},
        {node, R"({"id": "n", "kind": "file", "version": 1})", R"(key "name": missing)"},
        {node, R"({"id": "n", "kind": "file", "name": "f"})", R"(key "version": missing)"},
        {node, R"({"name": null, )" + file, R"(key "name": expected string, got null)"},
        {node, R"({"id": 5, )" + file, R"(key "id": expected string, got integer)"},
        {node, R"({"version": "3", )" + file, R"(key "version": expected integer, got string)"},
        {node, R"({"version": 3.0, )" + file, R"(key "version": expected integer, got number)"},
        {node, R"({"version": 9223372036854775808, )" + file, R"(key "version": integer out of range)"},
        {node, R"({"size": "12", )" + file, R"(key "size": expected integer, got string)"},
        {node, R"({"mime": false, )" + file, R"(key "mime": expected string, got boolean)"},
        {node, R"({"deleted": 1, )" + file, R"(key "deleted": expected boolean, got integer)"},
        {node, R"({"deletedAt": true, )" + file, R"(key "deletedAt": expected integer, got boolean)"},
        // Keys are read in the record's order, so the first bad one in that order is named.
        {node, R"({"version": "x", "id": 1, "kind": "file", "name": "f"})", R"(key "id": expected string, got integer)"},
        {node, "{" + file.substr(0, file.size() - 1), "malformed JSON: "},
        {node, "{" + file + " trailing", "malformed JSON: "},
        {node, "{\"id\": \"n\xff\", \"kind\": \"file\", \"name\": \"f\", \"version\": 1}", "malformed JSON: "},
        {listing, R"({"nextCursor": "c"})", R"(key "items": missing)"},
        {listing, R"({"items": {}})", R"(key "items": expected array, got object)"},
        {listing, R"({"items": [], "nextCursor": 3})", R"(key "nextCursor": expected string, got integer)"},
        {listing, R"({"items": [)" + item + R"(, {"id": "b", "kind": "file"}]})", R"(key "items": element 1: key "name": missing)"},
        {listing, R"({"items": [)" + item + R"(, "b"]})", R"(key "items": element 1: expected object, got string)"},
        {listing, R"([])", "expected a JSON object, got array"},
        {changes, R"({"changes": [], "cursor": 1, "latest": 1})", R"(key "hasMore": missing)"},
        {changes, R"({"changes": [], "cursor": 1, "latest": 1, "hasMore": 0})", R"(key "hasMore": expected boolean, got integer)"},
        {changes, R"({"changes": [], "latest": 1, "hasMore": false})", R"(key "cursor": missing)"},
        {changes, R"({"changes": [], "cursor": "1", "latest": 1, "hasMore": false})", R"(key "cursor": expected integer, got string)"},
        {changes, R"({"changes": [], "cursor": 1, "latest": 1.0, "hasMore": false})", R"(key "latest": expected integer, got number)"},
        {changes, R"({"cursor": 1, "latest": 1, "hasMore": false})", R"(key "changes": missing)"},
        {changes, R"({"changes": [{"id": "x", "name": "X", "version": 4}], "cursor": 1, "latest": 1, "hasMore": false})",
         R"(key "changes": element 0: key "kind": missing)"},
        {opened, R"({"node": )" + item + R"(, "url": "/dl", "expiresAt": 5})", R"(key "id": missing)"},
        {opened, opens + R"("expiresAt": 5})", R"(key "url": missing)"},
        {opened, opens + R"("url": "/dl"})", R"(key "expiresAt": missing)"},
        {opened, opens + R"("url": "/dl", "expiresAt": "5"})", R"(key "expiresAt": expected integer, got string)"},
    };
    // clang-format on
    for (const auto& [decode, json, expected] : cases) {
        SCOPED_TRACE(json);
        try {
            decode(json);
            ADD_FAILURE() << "decoded";
        } catch (const DecodeError& error) {
            const std::string message = error.what();
            EXPECT_EQ(expected.ends_with(": ") ? message.substr(0, expected.size()) : message, expected);
        }
    }
}

// Each thread keeps its own parser; a failed decode must leave it usable for the next reply.
TEST(DecodeRecords, ParserIsReusableAfterFailuresAndAcrossThreadsAndLargePages) {
    auto work = [](int count) {
        for (int i = 0; i < 100; ++i) {
            EXPECT_THROW(decodeListing(R"({"items": [)"), DecodeError);
            std::string json = R"({"items": [)";
            for (int n = 0; n < count; ++n)
                json += std::string(n ? ", {" : "{") + R"("version": )" + std::to_string(i + n) + ", " + file;
            const Listing listing = decodeListing(json + "]}");
            ASSERT_EQ(listing.items.size(), static_cast<std::size_t>(count));
            EXPECT_EQ(listing.items.back().version, i + count - 1);
        }
    };
    std::thread other(work, 1);
    work(2000);
    other.join();
}

}  // namespace
}  // namespace tw

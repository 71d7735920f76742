#include "records/records.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/records_print.h"

namespace tw {
namespace {

using Decoder = void (*)(std::string_view);
const Decoder listing = [](std::string_view json) { decodeListing(json); };
const Decoder changes = [](std::string_view json) { decodeChanges(json); };
const Decoder opened = [](std::string_view json) { decodeOpened(json); };

TEST(DecodeRecords, RefuseBadPagesNamingTheKey) {
    struct Case {
        Decoder decode;
        std::string json;
        std::string message;
    };
    const std::string node = R"({"id": "a", "kind": "file", "name": "A", "version": 1})";
    const std::string opens = R"({"id": "n1", "kind": "file", "name": "f", "version": 1, )";
    // clang-format off
    const Case cases[] = {
        {listing, R"({"nextCursor": "c"})", R"(key "items": missing)"},
        {listing, R"({"items": null})", R"(key "items": expected array, got null)"},
        {listing, R"({"items": {}})", R"(key "items": expected array, got object)"},
        {listing, R"({"items": [], "nextCursor": 3})", R"(key "nextCursor": expected string, got integer)"},
        {listing, R"({"items": [)" + node + R"(, {"id": "b", "kind": "file"}]})", R"(key "items": element 1: key "name": missing)"},
        {listing, R"({"items": [)" + node + R"(, "b"]})", R"(key "items": element 1: expected object, got string)"},
        {listing, R"([])", "expected a JSON object, got array"},
        {changes, R"({"changes": [], "cursor": 1, "latest": 1})", R"(key "hasMore": missing)"},
        {changes, R"({"changes": [], "cursor": 1, "latest": 1, "hasMore": null})", R"(key "hasMore": expected boolean, got null)"},
        {changes, R"({"changes": [], "cursor": 1, "latest": 1, "hasMore": 0})", R"(key "hasMore": expected boolean, got integer)"},
        {changes, R"({"changes": [], "latest": 1, "hasMore": false})", R"(key "cursor": missing)"},
        {changes, R"({"changes": [], "cursor": "1", "latest": 1, "hasMore": false})", R"(key "cursor": expected integer, got string)"},
        {changes, R"({"changes": [], "cursor": 1, "hasMore": false})", R"(key "latest": missing)"},
        {changes, R"({"changes": [], "cursor": 1, "latest": 1.0, "hasMore": false})", R"(key "latest": expected integer, got number)"},
        {changes, R"({"cursor": 1, "latest": 1, "hasMore": false})", R"(key "changes": missing)"},
        {changes, R"({"changes": [{"id": "x", "name": "X", "version": 4}], "cursor": 1, "latest": 1, "hasMore": false})",
         R"(key "changes": element 0: key "kind": missing)"},
        {opened, R"({"node": )" + node + R"(, "url": "/dl", "expiresAt": 5})", R"(key "id": missing)"},
        {opened, opens + R"("expiresAt": 5})", R"(key "url": missing)"},
        {opened, opens + R"("url": "/dl"})", R"(key "expiresAt": missing)"},
        {opened, opens + R"("url": null, "expiresAt": 5})", R"(key "url": expected string, got null)"},
        {opened, opens + R"("url": "/dl", "expiresAt": "5"})", R"(key "expiresAt": expected integer, got string)"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        try {
            c.decode(c.json);
            ADD_FAILURE() << "decoded";
        } catch (const DecodeError& error) {
            EXPECT_EQ(error.what(), c.message);
        }
    }
}

TEST(DecodeRecords, ParserIsReusableAfterFailuresAndAcrossThreadsAndLargePages) {
    // Each thread keeps its own parser; a failed decode must leave it usable for the next reply.
    auto work = [](int count) {
        for (int i = 0; i < 100; ++i) {
            EXPECT_THROW(decodeListing(R"({"items": [)"), DecodeError);
            std::string json = R"({"items": [)";
            for (int n = 0; n < count; ++n)
                json += (n ? "," : "") +
                        std::string(R"({"id": "n", "kind": "file", "name": "f", "version": )") +
                        std::to_string(i + n) + "}";
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

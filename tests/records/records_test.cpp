#include "records/records.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/records_print.h"

namespace tw {
namespace {

template <class Decode>
std::string failureOf(Decode decode, std::string_view json) {
    try {
        decode(json);
    } catch (const DecodeError& error) {
        return error.what();
    }
    return "";
}

TEST(DecodeListing, ReadsItemsInOrderAndTheCursor) {
    const Listing listing = decodeListing(R"({
        "items": [
            {"id": "a", "kind": "folder", "name": "A", "version": 1},
            {"id": "b", "parent": "a", "kind": "file", "name": "B", "version": 2, "size": 10}
        ],
        "nextCursor": "c2"
    })");
    ASSERT_EQ(listing.items.size(), 2u);
    EXPECT_EQ(listing.items[0].id, "a");
    EXPECT_TRUE(listing.items[0].isFolder());
    EXPECT_EQ(listing.items[1].id, "b");
    EXPECT_EQ(listing.items[1].parent, "a");
    EXPECT_EQ(listing.items[1].size, 10);
    EXPECT_EQ(listing.nextCursor, "c2");
}

TEST(DecodeListing, NextCursorMissingOrNullIsAbsent) {
    for (const char* json : {R"({"items": []})", R"({"items": [], "nextCursor": null})"}) {
        SCOPED_TRACE(json);
        const Listing listing = decodeListing(json);
        EXPECT_TRUE(listing.items.empty());
        EXPECT_FALSE(listing.nextCursor);
    }
}

TEST(DecodeListing, RefusesBadPages) {
    struct Case {
        const char* json;
        const char* message;
    };
    const Case cases[] = {
        {R"({"nextCursor": "c"})", R"(key "items": missing)"},
        {R"({"items": null})", R"(key "items": expected array, got null)"},
        {R"({"items": {}})", R"(key "items": expected array, got object)"},
        {R"({"items": [], "nextCursor": 3})", R"(key "nextCursor": expected string, got integer)"},
        {R"({"items": [{"id": "a", "kind": "file", "name": "A", "version": 1},
                       {"id": "b", "kind": "file", "name": "B"}]})",
         R"(key "items": element 1: key "version": missing)"},
        {R"({"items": [{"id": "a", "kind": "file", "name": "A", "version": 1}, "b"]})",
         R"(key "items": element 1: expected object, got string)"},
        {R"([])", "expected a JSON object, got array"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(failureOf(decodeListing, c.json), c.message);
    }
}

TEST(DecodeChanges, ReadsAPage) {
    const Changes changes = decodeChanges(R"({
        "changes": [{"id": "x", "kind": "file", "name": "X", "version": 4, "deletedAt": 1700000000000}],
        "cursor": 17, "latest": 20, "hasMore": true
    })");
    ASSERT_EQ(changes.changes.size(), 1u);
    EXPECT_EQ(changes.changes[0].id, "x");
    EXPECT_TRUE(changes.changes[0].deleted);
    EXPECT_EQ(changes.cursor, 17);
    EXPECT_EQ(changes.latest, 20);
    EXPECT_TRUE(changes.hasMore);
}

TEST(DecodeChanges, RefusesBadPages) {
    struct Case {
        const char* json;
        const char* message;
    };
    const Case cases[] = {
        {R"({"changes": [], "cursor": 1, "latest": 1})", R"(key "hasMore": missing)"},
        {R"({"changes": [], "cursor": 1, "latest": 1, "hasMore": null})",
         R"(key "hasMore": expected boolean, got null)"},
        {R"({"changes": [], "cursor": 1, "latest": 1, "hasMore": 0})",
         R"(key "hasMore": expected boolean, got integer)"},
        {R"({"changes": [], "latest": 1, "hasMore": false})", R"(key "cursor": missing)"},
        {R"({"changes": [], "cursor": "1", "latest": 1, "hasMore": false})",
         R"(key "cursor": expected integer, got string)"},
        {R"({"changes": [], "cursor": 1, "latest": 1.0, "hasMore": false})",
         R"(key "latest": expected integer, got number)"},
        {R"({"cursor": 1, "latest": 1, "hasMore": false})", R"(key "changes": missing)"},
        {R"({"changes": [{"id": "x", "kind": "file", "name": "X", "version": "4"}], "cursor": 1, "latest": 1,
             "hasMore": false})",
         R"(key "changes": element 0: key "version": expected integer, got string)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(failureOf(decodeChanges, c.json), c.message);
    }
}

TEST(DecodeOpened, ReadsNodeKeysBesideUrlAndExpiry) {
    const Opened opened = decodeOpened(R"({
        "id": "n1", "kind": "file", "name": "movie.mkv", "version": 9, "size": 4096, "rev": "r2",
        "url": "/dl/abc?sig=1", "expiresAt": 1700000060000
    })");
    EXPECT_EQ(opened.node.id, "n1");
    EXPECT_EQ(opened.node.size, 4096);
    EXPECT_EQ(opened.node.rev, "r2");
    EXPECT_EQ(opened.url, "/dl/abc?sig=1");
    EXPECT_EQ(opened.expiresAt, 1700000060000);
}

TEST(DecodeOpened, RefusesNestedNodeAndMissingKeys) {
    struct Case {
        const char* json;
        const char* message;
    };
    const Case cases[] = {
        {R"({"node": {"id": "n1", "kind": "file", "name": "f", "version": 1}, "url": "/dl", "expiresAt": 5})",
         R"(key "id": missing)"},
        {R"({"id": "n1", "kind": "file", "name": "f", "version": 1, "expiresAt": 5})",
         R"(key "url": missing)"},
        {R"({"id": "n1", "kind": "file", "name": "f", "version": 1, "url": "/dl"})",
         R"(key "expiresAt": missing)"},
        {R"({"id": "n1", "kind": "file", "name": "f", "version": 1, "url": null, "expiresAt": 5})",
         R"(key "url": expected string, got null)"},
        {R"({"id": "n1", "kind": "file", "name": "f", "version": 1, "url": "/dl", "expiresAt": "5"})",
         R"(key "expiresAt": expected integer, got string)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(failureOf(decodeOpened, c.json), c.message);
    }
}

TEST(DecodeRecords, ParserIsReusableAfterFailuresAndAcrossThreads) {
    // Each thread keeps its own parser; a failed decode must leave it usable for the next reply.
    auto work = [] {
        for (int i = 0; i < 200; ++i) {
            EXPECT_THROW(decodeListing(R"({"items": [)"), DecodeError);
            const Listing listing =
                decodeListing(R"({"items": [{"id": "a", "kind": "file", "name": "A", "version": )" +
                              std::to_string(i) + "}]}");
            ASSERT_EQ(listing.items.size(), 1u);
            EXPECT_EQ(listing.items[0].version, i);
        }
    };
    std::thread other(work);
    work();
    other.join();
}

TEST(DecodeRecords, LargeListingDecodesEveryItem) {
    std::string json = R"({"items": [)";
    for (int i = 0; i < 5000; ++i) {
        if (i) json += ',';
        json += R"({"id": "n)" + std::to_string(i) + R"(", "kind": "file", "name": "f", "version": )" +
                std::to_string(i) + "}";
    }
    json += "]}";
    const Listing listing = decodeListing(json);
    ASSERT_EQ(listing.items.size(), 5000u);
    EXPECT_EQ(listing.items[4999].id, "n4999");
    EXPECT_EQ(listing.items[4999].version, 4999);
}

}  // namespace
}  // namespace tw

#include "records/node.h"

#include <gtest/gtest.h>

#include <string>

#include "support/records_print.h"

namespace tw {
namespace {

// Runs decodeNode and returns the DecodeError's message, or "" when it decoded.
std::string decodeFailure(std::string_view json) {
    try {
        decodeNode(json);
    } catch (const DecodeError& error) {
        return error.what();
    }
    return "";
}

TEST(DecodeNode, ReadsWhatTheServiceSends) {
    const Node minimal{.id = "n", .kind = "folder", .name = "d", .version = 1};
    struct Case {
        std::string json;
        Node expected;
    };
    const Case cases[] = {
        {R"({"id": "n", "kind": "folder", "name": "d", "version": 1, "owner": {"ignored": [1, 2]}})",
         minimal},
        {R"({"id": "n", "kind": "folder", "name": "d", "version": 1, "parent": null, "size": null, "mime": null,
             "rev": null, "seq": null, "createdAt": null, "updatedAt": null, "deleted": null, "deletedAt": null})",
         minimal},
        {R"({"id": "n", "id": "second", "kind": "folder", "name": "d", "version": 1, "version": "not read"})",
         minimal},  // of duplicate keys the first counts
        {R"({"i\u0064": "a\"b", "kind": "file", "name": "caf\u00e9 \ud83d\ude00", "version": 1})",
         Node{.id = "a\"b", .kind = "file", .name = "caf\xc3\xa9 \xf0\x9f\x98\x80", .version = 1}},
        {R"({"id": "n", "kind": "file", "name": "f", "version": -9223372036854775808, "size": 9223372036854775807})",
         Node{.id = "n", .kind = "file", .name = "f", .size = INT64_MAX, .version = INT64_MIN}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(decodeNode(c.json), c.expected);
    }
    // The view ends before the buffer does: nothing past its end may be read as part of the document.
    const std::string buffer = R"({"id": "n", "kind": "folder", "name": "d", "version": 1}{"garbage")";
    EXPECT_EQ(decodeNode(std::string_view(buffer).substr(0, buffer.find('}') + 1)), minimal);
    EXPECT_TRUE(minimal.isFolder());
    EXPECT_FALSE(decodeNode(R"({"id": "n", "kind": "Folder", "name": "d", "version": 1})").isFolder());
}

TEST(DecodeNode, DeletedDecidesBeforeDeletedAt) {
    struct Case {
        const char* extra;
        bool deleted;
    };
    const Case cases[] = {
        {R"("deleted": false, "deletedAt": 5)", false},
        {R"("deleted": true)", true},
        {R"("deleted": null, "deletedAt": 7)", true},
        {R"("deletedAt": 0)", true},
        {R"("deletedAt": null)", false},
        {R"("deleted": false, "deletedAt": "not looked at")", false},
        {R"("other": 1)", false},
    };
    for (const Case& c : cases) {
        const std::string json =
            std::string(R"({"id": "n", "kind": "file", "name": "f", "version": 1, )") + c.extra + "}";
        SCOPED_TRACE(json);
        EXPECT_EQ(decodeNode(json).deleted, c.deleted);
    }
}

TEST(DecodeNode, RefusesMalformedJsonAndMissingNullOrWronglyTypedKeys) {
    // A key put before a whole valid node overrides the node's own (of duplicate keys the first counts).
    const std::string node = R"("id": "n", "kind": "file", "name": "f", "version": 1})";
    struct Case {
        std::string json;
        std::string message;  // exact; one ending in ": " is the start of the message
    };
    // clang-format off
    const Case cases[] = {
        {R"({"kind": "file", "name": "f", "version": 1})", R"(key "id": missing)"},
        {R"({"id": "n", "name": "f", "version": 1})", R"(key "kind": missing)"},
        {R"({"id": "n", "kind": "file", "version": 1})", R"(key "name": missing)"},
        {R"({"id": "n", "kind": "file", "name": "f"})", R"(key "version": missing)"},
        {R"({"name": null, )" + node, R"(key "name": expected string, got null)"},
        {R"({"id": 5, )" + node, R"(key "id": expected string, got integer)"},
        {R"({"name": ["f"], )" + node, R"(key "name": expected string, got array)"},
        {R"({"version": "3", )" + node, R"(key "version": expected integer, got string)"},
        {R"({"version": 3.0, )" + node, R"(key "version": expected integer, got number)"},
        {R"({"version": 9223372036854775808, )" + node, R"(key "version": integer out of range)"},
        {R"({"size": "12", )" + node, R"(key "size": expected integer, got string)"},
        {R"({"parent": 0, )" + node, R"(key "parent": expected string, got integer)"},
        {R"({"mime": false, )" + node, R"(key "mime": expected string, got boolean)"},
        {R"({"deleted": 1, )" + node, R"(key "deleted": expected boolean, got integer)"},
        {R"({"deletedAt": true, )" + node, R"(key "deletedAt": expected integer, got boolean)"},
        {R"({"createdAt": 1.5, )" + node, R"(key "createdAt": expected integer, got number)"},
        // Keys are read in the record's order, so the first bad one in that order is named.
        {R"({"version": "x", "id": 1, "kind": "file", "name": "f"})", R"(key "id": expected string, got integer)"},
        {"", "malformed JSON: "},
        {"{" + node.substr(0, node.size() - 1), "malformed JSON: "},
        {"{" + node + " trailing", "malformed JSON: "},
        {"{\"id\": \"n\xff\", \"kind\": \"file\", \"name\": \"f\", \"version\": 1}", "malformed JSON: "},
        {R"({"size": 123456789012345678901234567890, )" + node, "malformed JSON: "},
        {"[{" + node + "]", "expected a JSON object, got array"},
        {"null", "expected a JSON object, got null"},
        {R"("text")", "expected a JSON object, got string"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        const std::string message = decodeFailure(c.json);
        EXPECT_EQ(c.message.ends_with(": ") ? message.substr(0, c.message.size()) : message, c.message);
    }
}

}  // namespace
}  // namespace tw

// The decoders of every record. simdjson is used here and nowhere else: its DOM parser validates the whole
// document (syntax and UTF-8) before a value is read, so a record is never built from half a reply.
#include "records/records.h"

#include <array>
#include <cstddef>
#include <string>

#include <simdjson.h>

namespace tw {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

const char* typeName(element_type type) {
    switch (type) {
        case element_type::ARRAY:
            return "array";
        case element_type::OBJECT:
            return "object";
        case element_type::INT64:
        case element_type::UINT64:
            return "integer";
        case element_type::DOUBLE:
            return "number";
        case element_type::STRING:
            return "string";
        case element_type::BOOL:
            return "boolean";
        case element_type::NULL_VALUE:
            return "null";
    }
    return "unknown";
}

[[noreturn]] void fail(std::string_view key, std::string_view problem) {
    std::string message = "key \"";
    message += key;
    message += "\": ";
    message += problem;
    throw DecodeError(message);
}

[[noreturn]] void wrongType(std::string_view key, const char* expected, element value) {
    fail(key, std::string("expected ") + expected + ", got " + typeName(value.type()));
}

std::string asString(std::string_view key, element value) {
    std::string_view text;
    if (value.get(text) != simdjson::SUCCESS) wrongType(key, "string", value);
    return std::string(text);
}

// Only a JSON integer that fits in 64 signed bits: simdjson types a larger one as UINT64, and anything
// written with a fraction or an exponent as DOUBLE, even 3.0.
std::int64_t asInteger(std::string_view key, element value) {
    switch (value.type()) {
        case element_type::INT64:
            return value.get_int64().value_unsafe();
        case element_type::UINT64:
            fail(key, "integer out of range");
        default:
            wrongType(key, "integer", value);
    }
}

bool asBoolean(std::string_view key, element value) {
    bool flag = false;
    if (value.get(flag) != simdjson::SUCCESS) wrongType(key, "boolean", value);
    return flag;
}

// The keys a node-bearing object may hold, in the order their values are read: Node's keys, then the two
// that Opened adds beside them.
enum Key : unsigned {
    kId,
    kParent,
    kKind,
    kName,
    kSize,
    kMime,
    kRev,
    kVersion,
    kSeq,
    kCreatedAt,
    kUpdatedAt,
    kDeleted,
    kDeletedAt,
    kUrl,
    kExpiresAt,
    kKeyCount,
};

constexpr std::array<std::string_view, kKeyCount> keyNames = {
    "id",  "parent",    "kind",      "name",    "size",      "mime", "rev",       "version",
    "seq", "createdAt", "updatedAt", "deleted", "deletedAt", "url",  "expiresAt",
};

// kKeyCount for a key no record reads.
Key keyOf(std::string_view key) {
    auto is = [&](Key candidate) { return key == keyNames[candidate]; };
    switch (key.size()) {
        case 2:
            return is(kId) ? kId : kKeyCount;
        case 3:
            return is(kRev) ? kRev : is(kSeq) ? kSeq : is(kUrl) ? kUrl : kKeyCount;
        case 4:
            return is(kKind) ? kKind : is(kName) ? kName : is(kSize) ? kSize : is(kMime) ? kMime : kKeyCount;
        case 6:
            return is(kParent) ? kParent : kKeyCount;
        case 7:
            return is(kVersion) ? kVersion : is(kDeleted) ? kDeleted : kKeyCount;
        case 9:
            return is(kCreatedAt)   ? kCreatedAt
                   : is(kUpdatedAt) ? kUpdatedAt
                   : is(kDeletedAt) ? kDeletedAt
                   : is(kExpiresAt) ? kExpiresAt
                                    : kKeyCount;
        default:
            return kKeyCount;
    }
}

// The values of the known keys of one object, gathered in a single pass over its fields (a lookup per key
// would walk the fields once for each), then read in the order of Key so that the first failing key in that
// order is the one reported.
class Fields {
public:
    explicit Fields(simdjson::dom::object object) {
        for (const simdjson::dom::key_value_pair field : object) {
            const Key key = keyOf(field.key);
            // Of duplicate keys the first counts, as it does for a lookup by key in this parser.
            if (key == kKeyCount || has(key)) continue;
            values_[key] = field.value;
            present_ |= 1u << key;
        }
    }

    element required(Key key) const {
        if (!has(key)) fail(keyNames[key], "missing");
        return values_[key];
    }

    // Absent when the key is missing or null.
    std::optional<element> optional(Key key) const {
        if (!has(key) || values_[key].is_null()) return std::nullopt;
        return values_[key];
    }

    std::string requiredString(Key key) const { return asString(keyNames[key], required(key)); }
    std::int64_t requiredInteger(Key key) const { return asInteger(keyNames[key], required(key)); }

    std::optional<std::string> optionalString(Key key) const {
        if (auto value = optional(key)) return asString(keyNames[key], *value);
        return std::nullopt;
    }

    // 0 when missing or null.
    std::int64_t optionalInteger(Key key) const {
        if (auto value = optional(key)) return asInteger(keyNames[key], *value);
        return 0;
    }

private:
    bool has(Key key) const { return present_ & (1u << key); }

    std::array<element, kKeyCount> values_{};
    std::uint32_t present_ = 0;
};

Node nodeFrom(const Fields& fields) {
    Node node;
    node.id = fields.requiredString(kId);
    node.parent = fields.optionalString(kParent);
    node.kind = fields.requiredString(kKind);
    node.name = fields.requiredString(kName);
    node.size = fields.optionalInteger(kSize);
    node.mime = fields.optionalString(kMime);
    node.rev = fields.optionalString(kRev);
    node.version = fields.requiredInteger(kVersion);
    node.seq = fields.optionalInteger(kSeq);
    node.createdAt = fields.optionalInteger(kCreatedAt);
    node.updatedAt = fields.optionalInteger(kUpdatedAt);
    // "deleted" decides when it is there; "deletedAt" is then not looked at, not even for its type. Its
    // value is not kept: only that there is one.
    if (auto deleted = fields.optional(kDeleted)) {
        node.deleted = asBoolean(keyNames[kDeleted], *deleted);
    } else if (auto deletedAt = fields.optional(kDeletedAt)) {
        asInteger(keyNames[kDeletedAt], *deletedAt);
        node.deleted = true;
    }
    return node;
}

simdjson::dom::object asObject(element value) {
    simdjson::dom::object object;
    if (value.get(object) != simdjson::SUCCESS)
        throw DecodeError(std::string("expected object, got ") + typeName(value.type()));
    return object;
}

std::vector<Node> nodesFrom(std::string_view key, element value) {
    simdjson::dom::array array;
    if (value.get(array) != simdjson::SUCCESS) wrongType(key, "array", value);
    std::vector<Node> nodes;
    nodes.reserve(array.size());
    for (const element item : array) {
        try {
            nodes.push_back(nodeFrom(Fields(asObject(item))));
        } catch (const DecodeError& error) {
            fail(key, "element " + std::to_string(nodes.size()) + ": " + error.what());
        }
    }
    return nodes;
}

// The top-level object of a reply. It refers into this thread's parser and is valid until the next parse on
// this thread: every decoder copies what it keeps before returning.
simdjson::dom::object parseObject(std::string_view json) {
    // One parser per thread, reused: it keeps its buffers, so a reply costs no allocation once a reply of
    // that size has been seen. parse() copies the bytes into its padded buffer, as simdjson reads past the
    // end of the input.
    thread_local simdjson::dom::parser parser;
    element root;
    if (const auto error = parser.parse(json.data(), json.size(), true).get(root))
        throw DecodeError(std::string("malformed JSON: ") + simdjson::error_message(error));
    if (root.type() != element_type::OBJECT)
        throw DecodeError(std::string("expected a JSON object, got ") + typeName(root.type()));
    return root.get_object().value_unsafe();
}

// The first value of key, as Fields takes it; a DecodeError when the key is missing.
element requiredAt(simdjson::dom::object object, std::string_view key) {
    element value;
    if (object.at_key(key).get(value) != simdjson::SUCCESS) fail(key, "missing");
    return value;
}

}  // namespace

Node decodeNode(std::string_view json) {
    return nodeFrom(Fields(parseObject(json)));
}

Listing decodeListing(std::string_view json) {
    const simdjson::dom::object object = parseObject(json);
    Listing listing;
    listing.items = nodesFrom("items", requiredAt(object, "items"));
    element cursor;
    if (object.at_key("nextCursor").get(cursor) == simdjson::SUCCESS && !cursor.is_null())
        listing.nextCursor = asString("nextCursor", cursor);
    return listing;
}

Changes decodeChanges(std::string_view json) {
    const simdjson::dom::object object = parseObject(json);
    Changes changes;
    changes.changes = nodesFrom("changes", requiredAt(object, "changes"));
    changes.cursor = asInteger("cursor", requiredAt(object, "cursor"));
    changes.latest = asInteger("latest", requiredAt(object, "latest"));
    changes.hasMore = asBoolean("hasMore", requiredAt(object, "hasMore"));
    return changes;
}

Opened decodeOpened(std::string_view json) {
    const Fields fields(parseObject(json));
    Opened opened;
    opened.node = nodeFrom(fields);
    opened.url = fields.requiredString(kUrl);
    opened.expiresAt = fields.requiredInteger(kExpiresAt);
    return opened;
}

}  // namespace tw

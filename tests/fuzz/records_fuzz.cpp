// The record decoders behind a selector byte ('n' node, 'l' listing, 'c' changes, 'o' opened, 'u' user info;
// another byte by its value modulo 5). A reply decodes exactly as the record rules applied to nlohmann's
// parse say (the same record or a refusal), except where the parsers rightly differ: duplicate keys (first vs
// last), nesting past 1,024 levels or a raw NUL (must be refused). What decodes, written back as JSON,
// decodes equal.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "records/config.h"
#include "records/records.h"

namespace {

using nlohmann::json;

// --- Records written as the service would send them, absent optional keys as null.

json toJson(const std::optional<std::string>& value) {
    return value ? json(*value) : json(nullptr);
}

// clang-format off
json toJson(const tw::Node& node) {
    return {{"id", node.id}, {"parent", toJson(node.parent)}, {"kind", node.kind}, {"name", node.name},
            {"size", node.size}, {"mime", toJson(node.mime)}, {"rev", toJson(node.rev)}, {"version", node.version},
            {"seq", node.seq}, {"createdAt", node.createdAt}, {"updatedAt", node.updatedAt}, {"deleted", node.deleted}};
}
// clang-format on

json toJson(const std::vector<tw::Node>& nodes) {
    json array = json::array();
    for (const auto& node : nodes)
        array.push_back(toJson(node));
    return array;
}

json toJson(const tw::Listing& listing) {
    return {{"items", toJson(listing.items)}, {"nextCursor", toJson(listing.nextCursor)}};
}

// clang-format off
json toJson(const tw::Changes& changes) {
    return {{"changes", toJson(changes.changes)}, {"cursor", changes.cursor}, {"latest", changes.latest},
            {"hasMore", changes.hasMore}};
}
// clang-format on

json toJson(const tw::Opened& opened) {
    json object = toJson(opened.node);
    object["url"] = opened.url;
    object["expiresAt"] = opened.expiresAt;
    return object;
}

// --- The record rules, read from nlohmann's parse; Refused where decoding must fail.

struct Refused {};

const json* member(const json& object, const char* key) {
    if (!object.is_object()) throw Refused{};
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;  // null reads as absent
}

std::string stringOf(const json* value) {
    if (value == nullptr || !value->is_string()) throw Refused{};
    return value->get<std::string>();
}

std::optional<std::string> optionalStringOf(const json* value) {
    return value ? std::optional(stringOf(value)) : std::nullopt;
}

// A JSON integer within the signed 64-bit range (nlohmann reads a non-negative one as unsigned).
std::int64_t integerOf(const json* value) {
    if (value == nullptr || !value->is_number_integer() ||
        (value->is_number_unsigned() &&
         value->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())))
        throw Refused{};
    return value->get<std::int64_t>();
}

std::int64_t optionalIntegerOf(const json* value) {
    return value ? integerOf(value) : 0;
}

bool booleanOf(const json* value) {
    if (value == nullptr || !value->is_boolean()) throw Refused{};
    return value->get<bool>();
}

tw::Node expectedNode(const json& object) {
    tw::Node node;
    node.id = stringOf(member(object, "id"));
    node.parent = optionalStringOf(member(object, "parent"));
    node.kind = stringOf(member(object, "kind"));
    node.name = stringOf(member(object, "name"));
    node.size = optionalIntegerOf(member(object, "size"));
    node.mime = optionalStringOf(member(object, "mime"));
    node.rev = optionalStringOf(member(object, "rev"));
    node.version = integerOf(member(object, "version"));
    node.seq = optionalIntegerOf(member(object, "seq"));
    node.createdAt = optionalIntegerOf(member(object, "createdAt"));
    node.updatedAt = optionalIntegerOf(member(object, "updatedAt"));
    if (const json* deleted = member(object, "deleted")) {
        node.deleted = booleanOf(deleted);
    } else if (const json* deletedAt = member(object, "deletedAt")) {
        integerOf(deletedAt);  // its type is checked, its value not kept
        node.deleted = true;
    }
    return node;
}

std::vector<tw::Node> expectedNodes(const json* nodes) {
    if (nodes == nullptr || !nodes->is_array()) throw Refused{};
    std::vector<tw::Node> result;
    for (const json& node : *nodes)
        result.push_back(expectedNode(node));
    return result;
}

tw::Listing expectedListing(const json& object) {
    return {expectedNodes(member(object, "items")), optionalStringOf(member(object, "nextCursor"))};
}

tw::Changes expectedChanges(const json& object) {
    return {expectedNodes(member(object, "changes")), integerOf(member(object, "cursor")),
            integerOf(member(object, "latest")), booleanOf(member(object, "hasMore"))};
}

tw::Opened expectedOpened(const json& object) {
    tw::Node node = expectedNode(object);
    return {std::move(node), stringOf(member(object, "url")), integerOf(member(object, "expiresAt"))};
}

// What else nlohmann's reader sees: a repeated key, the deepest nesting, and an integer literal beyond 64
// bits (the decoders refuse the whole reply for it even where no record reads it: a known limit, tolerated
// here).
struct Shape : nlohmann::json_sax<json> {
    std::vector<std::set<std::string>> open;  // the keys of each object or array being read
    std::size_t deepest = 0;
    bool duplicateKeys = false, hugeInteger = false;

    bool start() {
        open.emplace_back();
        deepest = std::max(deepest, open.size());
        return true;
    }
    bool end() {
        open.pop_back();
        return true;
    }
    bool start_object(std::size_t) override { return start(); }
    bool start_array(std::size_t) override { return start(); }
    bool end_object() override { return end(); }
    bool end_array() override { return end(); }
    bool key(std::string& name) override {
        duplicateKeys = duplicateKeys || !open.back().insert(name).second;
        return true;
    }
    bool number_float(double, const std::string& text) override {
        hugeInteger = hugeInteger || text.find_first_of(".eE") == std::string::npos;
        return true;
    }
    // clang-format off
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(std::int64_t) override { return true; }
    bool number_unsigned(std::uint64_t) override { return true; }
    bool string(std::string&) override { return true; }
    bool binary(json::binary_t&) override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
    // clang-format on
};

// --- The decoders under test.

std::string lastDecodeError;

// nullopt when decode throws DecodeError; any other exception is a finding.
template <class Decode>
auto decoded(Decode decode, std::string_view text) -> std::optional<decltype(decode(text))> {
    try {
        return decode(text);
    } catch (const tw::DecodeError& error) {
        lastDecodeError = error.what();
        return std::nullopt;
    } catch (const std::exception& error) {
        fuzzUnexpected("decoder", &error);
    } catch (...) {
        fuzzUnexpected("decoder");
    }
}

template <class Decode, class Rules>
auto check(Decode decode, Rules rules, std::string_view reply) {
    auto got = decoded(decode, reply);
    if (got) FUZZ_CHECK(decoded(decode, toJson(*got).dump()) == got);
    const json value = json::parse(reply, nullptr, /*allow_exceptions=*/false);
    Shape shape;
    json::sax_parse(reply, &shape);
    if (reply.find('\0') != std::string_view::npos || value.is_discarded()) {
        FUZZ_CHECK(!got);  // nlohmann reads a raw NUL byte, which is never JSON, as the end of the input
    } else if (!got && lastDecodeError.starts_with("malformed JSON")) {
        FUZZ_CHECK(shape.duplicateKeys || shape.deepest > 1024 || shape.hugeInteger);
    } else if (!shape.duplicateKeys) {
        decltype(got) want;
        try {
            want = rules(value);
        } catch (const Refused&) {
        }
        FUZZ_CHECK(got == want);
    }
    return got;
}

void config(std::string_view text) {
    const json info = json::parse(text, nullptr, /*allow_exceptions=*/false);
    std::optional<tw::Config> config;
    try {
        config = tw::Config::fromUserInfo(info.is_discarded() ? std::nullopt : std::optional(info));
    } catch (const std::exception& error) {
        fuzzUnexpected("Config::fromUserInfo", &error);
    }
    if (!config) return;
    FUZZ_CHECK(info.is_object() && info.at("base") == config->base && info.at("token") == config->token);
    FUZZ_CHECK(!holdsControlOr(config->base) && !holdsControlOr(config->token));
    FUZZ_CHECK(!config->spaceId || !config->spaceId->empty());
    FUZZ_CHECK(tw::Config::fromUserInfo(config->userInfo()) == config);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t letter = std::string_view("nlcou").find(static_cast<char>(data[0]));
    switch (letter != std::string_view::npos ? letter : data[0] % 5) {
        case 0:
            check(tw::decodeNode, expectedNode, text);
            break;
        case 1:
            check(tw::decodeListing, expectedListing, text);
            break;
        case 2:
            check(tw::decodeChanges, expectedChanges, text);
            break;
        case 3:  // its node part decodes exactly as decodeNode's
            if (const auto opened = check(tw::decodeOpened, expectedOpened, text))
                FUZZ_CHECK(decoded(tw::decodeNode, text) == opened->node);
            break;
        default:
            config(text);
    }
    return 0;
}

// The record decoders, behind a selector byte: the first byte picks the decoder ('n' node, 'l' listing,
// 'c' changes, 'o' opened, 'u' user info; any other byte by its value modulo 5), the rest is the reply or
// user-info text. One target for the five, because they share the key rules and the node decoder, and an
// input that reaches deep into one (a well-formed node) is a good start for the others.
//
// Each decoder either returns a record or throws DecodeError; the user-info reader never throws. A reply
// decodes exactly as the record rules read through another JSON parser (nlohmann's) say it should: the same
// record, or a refusal. Where the two parsers rightly differ the rule is checked another way: duplicate
// keys (the decoders take the first, nlohmann the last) are only decoded, nesting deeper than the decoders'
// parser allows (1,024 levels) must be refused, and so must a raw NUL byte (which nlohmann takes for the
// end of the input). What is decoded also reads back the same: written as JSON again, it decodes to an equal
// record.

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

json textOrNull(const std::optional<std::string>& value) {
    return value ? json(*value) : json(nullptr);
}

// A node as the service would send it; every key present, the optional ones as null when absent.
json nodeJson(const tw::Node& node) {
    return {{"id", node.id},
            {"parent", textOrNull(node.parent)},
            {"kind", node.kind},
            {"name", node.name},
            {"size", node.size},
            {"mime", textOrNull(node.mime)},
            {"rev", textOrNull(node.rev)},
            {"version", node.version},
            {"seq", node.seq},
            {"createdAt", node.createdAt},
            {"updatedAt", node.updatedAt},
            {"deleted", node.deleted}};
}

json nodesJson(const std::vector<tw::Node>& nodes) {
    json array = json::array();
    for (const auto& node : nodes)
        array.push_back(nodeJson(node));
    return array;
}

// --- The record rules, read from nlohmann's parse. Each reader throws Refused where decoding must fail.

struct Refused {};

const json* member(const json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

bool absent(const json* value) {
    return value == nullptr || value->is_null();
}

std::string stringOf(const json* value) {
    if (value == nullptr || !value->is_string()) throw Refused{};
    return value->get<std::string>();
}

std::optional<std::string> optionalStringOf(const json* value) {
    if (absent(value)) return std::nullopt;
    return stringOf(value);
}

// A JSON integer within the signed 64-bit range (nlohmann reads a non-negative one as unsigned).
std::int64_t integerOf(const json* value) {
    if (value == nullptr || !value->is_number_integer()) throw Refused{};
    if (value->is_number_unsigned() &&
        value->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw Refused{};
    return value->get<std::int64_t>();
}

std::int64_t optionalIntegerOf(const json* value) {
    return absent(value) ? 0 : integerOf(value);
}

bool booleanOf(const json* value) {
    if (value == nullptr || !value->is_boolean()) throw Refused{};
    return value->get<bool>();
}

const json& arrayOf(const json* value) {
    if (value == nullptr || !value->is_array()) throw Refused{};
    return *value;
}

tw::Node expectedNode(const json& object) {
    if (!object.is_object()) throw Refused{};
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
    if (const json* deleted = member(object, "deleted"); !absent(deleted)) {
        node.deleted = booleanOf(deleted);
    } else if (const json* deletedAt = member(object, "deletedAt"); !absent(deletedAt)) {
        integerOf(deletedAt);  // its type is checked, its value not kept
        node.deleted = true;
    }
    return node;
}

std::vector<tw::Node> expectedNodes(const json& nodes) {
    std::vector<tw::Node> result;
    for (const json& node : nodes)
        result.push_back(expectedNode(node));
    return result;
}

tw::Listing expectedListing(const json& object) {
    if (!object.is_object()) throw Refused{};
    return {expectedNodes(arrayOf(member(object, "items"))), optionalStringOf(member(object, "nextCursor"))};
}

tw::Changes expectedChanges(const json& object) {
    if (!object.is_object()) throw Refused{};
    return {expectedNodes(arrayOf(member(object, "changes"))), integerOf(member(object, "cursor")),
            integerOf(member(object, "latest")), booleanOf(member(object, "hasMore"))};
}

tw::Opened expectedOpened(const json& object) {
    tw::Node node = expectedNode(object);
    return {std::move(node), stringOf(member(object, "url")), integerOf(member(object, "expiresAt"))};
}

// nlohmann's reading of a reply, and whether it is one both parsers must read alike.
struct Reading {
    json value;
    bool parsed = false;
    bool duplicateKeys = false;
};

Reading independentReading(std::string_view reply) {
    Reading reading;
    std::vector<std::set<std::string>> openObjects;
    const auto watch = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) openObjects.emplace_back();
        if (event == json::parse_event_t::object_end) openObjects.pop_back();
        if (event == json::parse_event_t::key && !openObjects.back().insert(parsed.get<std::string>()).second)
            reading.duplicateKeys = true;
        return true;
    };
    reading.value = json::parse(reply, watch, /*allow_exceptions=*/false);
    reading.parsed = !reading.value.is_discarded();
    return reading;
}

std::size_t depthOf(const json& root) {
    std::size_t deepest = 0;
    std::vector<std::pair<const json*, std::size_t>> pending{{&root, 0}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (!value->is_structured()) continue;
        deepest = std::max(deepest, depth + 1);
        for (const json& child : *value)
            pending.emplace_back(&child, depth + 1);
    }
    return deepest;
}

// Whether a number outside strings is an integer literal that fits neither 64-bit type. The decoders'
// parser refuses the whole reply then, even where the key is one no record reads; nlohmann reads it as a
// floating-point number. A known limit of the decoders (they refuse what they could ignore), tolerated here
// so that a run goes on to find other faults.
bool holdsIntegerBeyond64Bits(std::string_view reply) {
    bool inString = false;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        const char c = reply[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
            continue;
        }
        if (c != '-' && (c < '0' || c > '9')) continue;
        const std::size_t start = i;
        while (i < reply.size() && (reply[i] == '-' || (reply[i] >= '0' && reply[i] <= '9')))
            ++i;
        const std::string_view digits = reply.substr(start, i - start);
        const bool isInteger = i == reply.size() || (reply[i] != '.' && reply[i] != 'e' && reply[i] != 'E');
        const std::string_view limit =
            digits.front() == '-' ? "-9223372036854775808" : "18446744073709551615";
        if (isInteger && (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit)))
            return true;
        --i;
    }
    return false;
}

// --- The decoders under test.

// Why the last decode failed, when it did.
std::string lastDecodeError;

// Decodes with `decode`; nullopt when it throws DecodeError, a failed check for any other exception.
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

// `got`, the decoder's result for `reply`, is what the record rules give for nlohmann's reading of it.
template <class Record, class Expected>
void checkAgainstRules(const std::optional<Record>& got, std::string_view reply, Expected expected) {
    // A raw NUL byte is never JSON; nlohmann reads one as the end of the input.
    if (reply.find('\0') != std::string_view::npos) {
        FUZZ_CHECK(!got);
        return;
    }
    const Reading reading = independentReading(reply);
    if (!reading.parsed) {
        FUZZ_CHECK(!got);
        return;
    }
    if (reading.duplicateKeys) return;
    if (!got && lastDecodeError.starts_with("malformed JSON")) {
        FUZZ_CHECK(depthOf(reading.value) > 1024 || holdsIntegerBeyond64Bits(reply));
        return;
    }
    std::optional<Record> want;
    try {
        want = expected(reading.value);
    } catch (const Refused&) {
    }
    FUZZ_CHECK(got == want);
}

void node(std::string_view text) {
    const auto node = decoded(tw::decodeNode, text);
    checkAgainstRules(node, text, expectedNode);
    if (!node) return;
    FUZZ_CHECK(decoded(tw::decodeNode, nodeJson(*node).dump()) == node);
}

void listing(std::string_view text) {
    const auto listing = decoded(tw::decodeListing, text);
    checkAgainstRules(listing, text, expectedListing);
    if (!listing) return;
    const json again = {{"items", nodesJson(listing->items)},
                        {"nextCursor", textOrNull(listing->nextCursor)}};
    FUZZ_CHECK(decoded(tw::decodeListing, again.dump()) == listing);
}

void changes(std::string_view text) {
    const auto changes = decoded(tw::decodeChanges, text);
    checkAgainstRules(changes, text, expectedChanges);
    if (!changes) return;
    const json again = {{"changes", nodesJson(changes->changes)},
                        {"cursor", changes->cursor},
                        {"latest", changes->latest},
                        {"hasMore", changes->hasMore}};
    FUZZ_CHECK(decoded(tw::decodeChanges, again.dump()) == changes);
}

// An opened node is a node with two more keys beside it: its node part decodes exactly as decodeNode would.
void opened(std::string_view text) {
    const auto opened = decoded(tw::decodeOpened, text);
    checkAgainstRules(opened, text, expectedOpened);
    const auto node = decoded(tw::decodeNode, text);
    if (!opened) return;
    FUZZ_CHECK(node == opened->node);
    json again = nodeJson(opened->node);
    again["url"] = opened->url;
    again["expiresAt"] = opened->expiresAt;
    FUZZ_CHECK(decoded(tw::decodeOpened, again.dump()) == opened);
}

bool hasControlCharacter(const std::string& text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
    return false;
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
    FUZZ_CHECK(!hasControlCharacter(config->base) && !hasControlCharacter(config->token));
    FUZZ_CHECK(!config->spaceId || !config->spaceId->empty());
    FUZZ_CHECK(tw::Config::fromUserInfo(config->userInfo()) == config);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    void (*const decoders[])(std::string_view) = {node, listing, changes, opened, config};
    const std::size_t letter = std::string_view("nlcou").find(static_cast<char>(data[0]));
    decoders[letter != std::string_view::npos ? letter : data[0] % 5](text);
    return 0;
}

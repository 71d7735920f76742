// The record decoders, behind a selector byte: the first byte picks the decoder ('n' node, 'l' listing,
// 'c' changes, 'o' opened, 'u' user info; any other byte by its value modulo 5), the rest is the reply or
// user-info text. One target for the five, because they share the key rules and the
// node decoder, and an input that reaches deep into one (a well-formed node) is a good start for the others.
//
// Each decoder either returns a record or throws DecodeError; the user-info reader never throws. What is
// decoded must read back the same: a record written as JSON again decodes to an equal record.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "records/config.h"
#include "records/records.h"

namespace {

using nlohmann::json;

json optionalText(const std::optional<std::string>& value) {
    return value ? json(*value) : json(nullptr);
}

// A node as the service would send it; every key present, the optional ones as null when absent.
json nodeJson(const tw::Node& node) {
    return {{"id", node.id},
            {"parent", optionalText(node.parent)},
            {"kind", node.kind},
            {"name", node.name},
            {"size", node.size},
            {"mime", optionalText(node.mime)},
            {"rev", optionalText(node.rev)},
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

// Decodes with `decode`; nullopt when it throws DecodeError, a failed check for any other exception.
template <class Decode>
auto decoded(Decode decode, std::string_view text) -> std::optional<decltype(decode(text))> {
    try {
        return decode(text);
    } catch (const tw::DecodeError&) {
        return std::nullopt;
    } catch (const std::exception& error) {
        fuzzUnexpected("decoder", &error);
    } catch (...) {
        fuzzUnexpected("decoder");
    }
}

void node(std::string_view text) {
    const auto node = decoded(tw::decodeNode, text);
    if (!node) return;
    FUZZ_CHECK(decoded(tw::decodeNode, nodeJson(*node).dump()) == node);
}

void listing(std::string_view text) {
    const auto listing = decoded(tw::decodeListing, text);
    if (!listing) return;
    const json again = {{"items", nodesJson(listing->items)},
                        {"nextCursor", optionalText(listing->nextCursor)}};
    FUZZ_CHECK(decoded(tw::decodeListing, again.dump()) == listing);
}

void changes(std::string_view text) {
    const auto changes = decoded(tw::decodeChanges, text);
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

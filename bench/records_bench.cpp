// The records' decoder (simdjson DOM) against the same decoding written with nlohmann::json, on a
// 500-node page as the service writes it. Goal: decodeListing at least 4 times as fast as the reference.
//
// The reference applies decodeListing's rules (required, optional and null keys, JSON types, integers that
// fit in 64 signed bits, "deleted" before "deletedAt") into the same Node struct. It is checked against
// decodeListing on the benchmark page and on a table of edge cases before anything is timed, so the
// comparison is between two decoders of the same records.

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "records/records.h"
#include "support/listing_page.h"
#include "support/ratio_reporter.h"

namespace tw::bench {
namespace {

// ---- The reference decoder.

const char* typeName(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::array:
            return "array";
        case nlohmann::json::value_t::object:
            return "object";
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
            return "integer";
        case nlohmann::json::value_t::number_float:
            return "number";
        case nlohmann::json::value_t::string:
            return "string";
        case nlohmann::json::value_t::boolean:
            return "boolean";
        case nlohmann::json::value_t::null:
            return "null";
        default:
            return "unknown";
    }
}

[[noreturn]] void fail(std::string_view key, const std::string& problem) {
    std::string message = "key \"";
    message += key;
    message += "\": ";
    message += problem;
    throw DecodeError(message);
}

[[noreturn]] void wrongType(std::string_view key, const char* expected, const nlohmann::json& value) {
    fail(key, std::string("expected ") + expected + ", got " + typeName(value));
}

// Null when the key is missing or null. (nlohmann keeps the last of duplicate keys where decodeListing
// keeps the first; the service writes none, and neither does the benchmark.)
const nlohmann::json* optional(const nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

const nlohmann::json& required(const nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) fail(key, "missing");
    return *found;
}

std::string asString(const char* key, const nlohmann::json& value) {
    if (!value.is_string()) wrongType(key, "string", value);
    return value.get_ref<const std::string&>();
}

// nlohmann reads a non-negative integer as unsigned: one above the signed range is refused as out of range.
std::int64_t asInteger(const char* key, const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            fail(key, "integer out of range");
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    wrongType(key, "integer", value);
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key) {
    if (const auto* value = optional(object, key)) return asString(key, *value);
    return std::nullopt;
}

std::int64_t optionalInteger(const nlohmann::json& object, const char* key) {
    if (const auto* value = optional(object, key)) return asInteger(key, *value);
    return 0;
}

Node referenceNode(const nlohmann::json& object) {
    if (!object.is_object()) throw DecodeError(std::string("expected object, got ") + typeName(object));
    Node node;
    node.id = asString("id", required(object, "id"));
    node.parent = optionalString(object, "parent");
    node.kind = asString("kind", required(object, "kind"));
    node.name = asString("name", required(object, "name"));
    node.size = optionalInteger(object, "size");
    node.mime = optionalString(object, "mime");
    node.rev = optionalString(object, "rev");
    node.version = asInteger("version", required(object, "version"));
    node.seq = optionalInteger(object, "seq");
    node.createdAt = optionalInteger(object, "createdAt");
    node.updatedAt = optionalInteger(object, "updatedAt");
    if (const auto* deleted = optional(object, "deleted")) {
        if (!deleted->is_boolean()) wrongType("deleted", "boolean", *deleted);
        node.deleted = deleted->get<bool>();
    } else if (const auto* deletedAt = optional(object, "deletedAt")) {
        asInteger("deletedAt", *deletedAt);
        node.deleted = true;
    }
    return node;
}

Listing referenceDecodeListing(std::string_view json) {
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(json);  // validates syntax and UTF-8, as simdjson's DOM does
    } catch (const nlohmann::json::parse_error& error) {
        throw DecodeError(std::string("malformed JSON: ") + error.what());
    }
    if (!root.is_object()) throw DecodeError(std::string("expected a JSON object, got ") + typeName(root));
    const nlohmann::json& items = required(root, "items");
    if (!items.is_array()) wrongType("items", "array", items);
    Listing listing;
    listing.items.reserve(items.size());
    for (const nlohmann::json& item : items) {
        try {
            listing.items.push_back(referenceNode(item));
        } catch (const DecodeError& error) {
            fail("items", "element " + std::to_string(listing.items.size()) + ": " + error.what());
        }
    }
    listing.nextCursor = optionalString(root, "nextCursor");
    return listing;
}

// ---- The check that both decode the same records.

// The outcome of one decoder on one input: the listing, or that it failed (the messages may differ in
// wording, e.g. for malformed JSON, so only the failure itself is compared).
std::optional<Listing> outcome(Listing (*decode)(std::string_view), std::string_view json) {
    try {
        return decode(json);
    } catch (const DecodeError&) {
        return std::nullopt;
    }
}

bool decodersAgree(const std::string& page) {
    const char* const cases[] = {
        R"({"items":[]})",
        R"({"items":[],"nextCursor":null})",
        R"({"items":[],"nextCursor":"500"})",
        R"({"items":[{"id":"n1","kind":"file","name":"a","version":1}]})",
        R"({"items":[{"id":"n1","kind":"folder","name":"a","version":1,"size":null,"seq":null}]})",
        R"({"items":[{"id":"n1","kind":"file","name":"a","version":1,"deleted":false,"deletedAt":5}]})",
        R"({"items":[{"id":"n1","kind":"file","name":"a","version":1,"deleted":null,"deletedAt":7}]})",
        R"({"items":[{"id":"n1","kind":"file","name":"a","version":1,"deletedAt":null}]})",
        R"({"items":[{"id":"n1","kind":"file","name":"a","version":1,"deletedAt":"x"}]})",
        R"({"items":[{"id":"n1","kind":"file","name":"a","version":"3"}]})",
        R"({"items":[{"id":"n1","kind":"file","name":"a","version":3.0}]})",
        R"({"items":[{"id":"n1","kind":"file","name":"a","version":9223372036854775808}]})",
        R"({"items":[{"id":"n1","kind":"file","name":"a","version":-9223372036854775808}]})",
        R"({"items":[{"id":"n1","kind":"file","name":"a"}]})",
        R"({"items":[{"id":null,"kind":"file","name":"a","version":1}]})",
        R"({"items":[{"id":"n1","kind":"file","name":"a","version":1,"parent":7}]})",
        R"({"items":[{"id":"n1","kind":"file","name":"a","version":1,"unknown":[1,{}]}]})",
        R"({"items":[1]})",
        R"({"items":{}})",
        R"({"nextCursor":"1"})",
        R"({"items":[],"nextCursor":5})",
        R"([])",
        R"({"items":[)",
        "{\"items\":[{\"id\":\"n1\",\"kind\":\"file\",\"name\":\"\xff\",\"version\":1}]}",
    };
    bool agree = true;
    for (std::string_view input : cases) {
        if (outcome(referenceDecodeListing, input) != outcome(decodeListing, input)) {
            std::fprintf(stderr, "records_bench: the decoders disagree on %.*s\n",
                         static_cast<int>(input.size()), input.data());
            agree = false;
        }
    }
    const auto reference = outcome(referenceDecodeListing, page);
    if (!reference || reference != outcome(decodeListing, page) || reference->items.size() != 500) {
        std::fprintf(stderr, "records_bench: the decoders disagree on the benchmark page\n");
        agree = false;
    }
    return agree;
}

// ---- The benchmarks.

const std::string& page() {
    static const std::string bytes = listingPage();
    return bytes;
}

void BM_DecodeListing(benchmark::State& state) {
    for (auto _ : state) {
        Listing listing = decodeListing(page());
        benchmark::DoNotOptimize(listing);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page().size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 500));
}
BENCHMARK(BM_DecodeListing)->Unit(benchmark::kMicrosecond);

void BM_NlohmannReferenceListing(benchmark::State& state) {
    for (auto _ : state) {
        Listing listing = referenceDecodeListing(page());
        benchmark::DoNotOptimize(listing);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page().size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 500));
}
BENCHMARK(BM_NlohmannReferenceListing)->Unit(benchmark::kMicrosecond);

// The change feed's pages carry the same nodes; a twentieth of them in the trash here.
void BM_DecodeChanges(benchmark::State& state) {
    static const std::string bytes = changesPage({.deletedEvery = 20});
    for (auto _ : state) {
        Changes changes = decodeChanges(bytes);
        benchmark::DoNotOptimize(changes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 500));
}
BENCHMARK(BM_DecodeChanges)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tw::bench

int main(int argc, char** argv) {
    using namespace tw::bench;
    std::printf("page: 500 nodes, %zu bytes\n", page().size());
    if (!decodersAgree(page())) return 1;
    RatioReporter reporter;
    if (const int status = runBenchmarks(argc, argv, reporter)) return status;
    const auto project = reporter.times("BM_DecodeListing");
    const auto reference = reporter.times("BM_NlohmannReferenceListing");
    if (!project || !reference) return 0;  // filtered out: no ratio
    // CPU time: both run on one thread, and CPU time leaves out the moments other work on the machine
    // held the core.
    const double ratio = reference->cpu / project->cpu;
    const double mb = 1e-6 * static_cast<double>(page().size());
    std::printf(
        "\ndecodeListing: %.0f MB/s, %.0f us a page; nlohmann reference: %.0f MB/s, %.0f us a page "
        "(CPU time)\n",
        mb / project->cpu, 1e6 * project->cpu, mb / reference->cpu, 1e6 * reference->cpu);
    std::printf("RESULT decode-MB-per-s %.0f\nRESULT nlohmann-MB-per-s %.0f\n", mb / project->cpu,
                mb / reference->cpu);
    std::printf("RESULT decode-ratio %.2f (goal >= 4: %s)\n", ratio, ratio >= 4 ? "met" : "NOT met");
    return 0;
}

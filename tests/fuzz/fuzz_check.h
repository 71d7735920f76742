#pragma once
// A failed check prints itself and aborts: libFuzzer saves the input, the replay driver names its file.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)

// For a catch after the documented error: anything else is a finding.
[[noreturn]] inline void fuzzUnexpected(const char* where, const std::exception* error = nullptr) {
    std::fprintf(stderr, "%s: unexpected exception: %s\n", where,
                 error ? error->what() : "(not a std::exception)");
    std::abort();
}

// Whether text holds a control character (C0 or DEL) or one of `also`.
inline bool holdsControlOr(std::string_view text, std::string_view also = {}) {
    return std::any_of(text.begin(), text.end(), [&](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f || also.find(c) != std::string_view::npos;
    });
}

// Nesting depth of a JSON value (a scalar is 0, an empty object 1), without recursion.
inline std::size_t depthOf(const nlohmann::json& root) {
    std::size_t deepest = 0;
    std::vector<std::pair<const nlohmann::json*, std::size_t>> pending{{&root, 0}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (!value->is_structured()) continue;
        deepest = std::max(deepest, depth + 1);
        for (const auto& child : *value)
            pending.emplace_back(&child, depth + 1);
    }
    return deepest;
}

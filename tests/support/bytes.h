#pragma once
// Test data: bytes that show where each one came from, so that a file put together from the wrong offsets,
// or from another file, never compares equal.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace tw::test {

// The recording server's generated bodies (Reply::generatedBodySize) repeat every this many bytes: a prime,
// so that a range off by any multiple of a power of two never matches.
inline constexpr std::int64_t periodicPeriod = 251;

// Bytes [from, to) of the endless run in which byte i is i % 251: what the recording server streams.
inline std::string periodicBytes(std::int64_t from, std::int64_t to) {
    std::string bytes(static_cast<std::size_t>(to - from), '\0');
    for (auto at = from; at < to; ++at)
        bytes[static_cast<std::size_t>(at - from)] = static_cast<char>(at % periodicPeriod);
    return bytes;
}

// `size` pseudo-random bytes, the same for the same seed in every run and test binary and different between
// seeds: the top byte of each step of a linear congruential generator.
inline std::string seededBytes(std::size_t size, unsigned seed = 0) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes)
        byte = static_cast<char>((state = state * 1664525u + 1013904223u) >> 24);
    return bytes;
}

// seededBytes(size, seed) written to `file` (replaced when it exists); returns them.
inline std::string writeSeededBytes(const std::filesystem::path& file, std::size_t size, unsigned seed = 0) {
    std::string bytes = seededBytes(size, seed);
    std::ofstream(file, std::ios::binary) << bytes;
    return bytes;
}

}  // namespace tw::test

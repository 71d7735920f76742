#pragma once

// Small helpers shared by the service: random tokens and the wall clock.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tw::server {

// `bytes` random bytes from the kernel, as lower-case hexadecimal (2 × bytes characters).
std::string randomHex(std::size_t bytes);

// Milliseconds since the Unix epoch.
std::int64_t nowMs();

// The SHA-256 of `token` as lower-case hexadecimal: what the store keeps in place of a token, so that a
// copy of the database grants nothing.
std::string tokenHash(std::string_view token);

// Creates `dir` when missing and makes it 0700 whatever the umask; throws std::system_error.
void makePrivateDir(const std::filesystem::path& dir);

}  // namespace tw::server

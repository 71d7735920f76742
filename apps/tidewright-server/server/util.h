#pragma once

// Small helpers shared by the service: random tokens and the wall clock.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tw::server {

// `bytes` random bytes from the kernel, as lower-case hexadecimal (2 × bytes characters).
std::string randomHex(std::size_t bytes);

// Milliseconds since the Unix epoch.
std::int64_t nowMs();

}  // namespace tw::server

#pragma once
#include <string>

namespace tw {
// A random (version 4) UUID as upper-case text, 8-4-4-4-12 hexadecimal digits.
std::string randomUUID();
}  // namespace tw

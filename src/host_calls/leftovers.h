#pragma once
// Files the extension delivered into a domain's temporary folder that no host took over: a host that was
// killed between a fetch's completion and its moving or deleting the file leaves it there for good. A host
// removes them when it starts.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

#include "platform/host/domain.h"

namespace tw::hostcalls {

// What a fetch is given before its file counts as left behind: no host keeps a delivered file that long.
inline constexpr std::chrono::hours leftoverAge{24};

// Removes the regular files directly in `folder` (no subfolder, no link followed) that bear the name the
// extension gives what it delivers (an upper-case UUID, 8-4-4-4-12 hexadecimal digits: other files there,
// a mount's cache among them, are never touched) and were last modified more than `age` ago. Returns how
// many it removed. Never throws: a folder that cannot be read removes nothing.
std::size_t removeLeftovers(const std::filesystem::path& folder, std::chrono::seconds age = leftoverAge);

// The same in the temporary folder of `domain`'s manager (host::Manager::forDomain, below the user's cache
// folder named `application`); nothing when there is none or it is refused.
std::size_t removeLeftovers(const host::Domain& domain, const std::string& application);

}  // namespace tw::hostcalls

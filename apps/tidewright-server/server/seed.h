#pragma once

// Initial contents for a new space.

#include "server/service.h"

#include <cstdint>

namespace tw::server {

// Fills an empty space with a small realistic tree: nested folders, files of several types and sizes
// (one over 8 MiB), names with spaces and accents, and one file in the trash. Does nothing when the
// space already holds nodes, so a restart with --seed demo keeps what is there.
void seedDemo(Service& service);

// Adds a top-level folder "Bulk" holding `count` empty text files, in one transaction (for listing
// benchmarks). Does nothing when "Bulk" already exists.
void seedBulk(Service& service, std::int64_t count);

}  // namespace tw::server

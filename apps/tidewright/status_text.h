#pragma once
// How the mount's state reads where a person sees it: `tidewright status` and the systemd status line.

#include <chrono>
#include <cstdint>
#include <string>

namespace tw::cli {

// "YYYY-MM-DD HH:MM:SS" in local time.
std::string clockText(std::chrono::system_clock::time_point when);

// A size as a person reads it: "512 B", "4.0 KiB", "1.5 MiB", "10.0 GiB" (powers of 1024).
std::string sizeText(std::int64_t bytes);

// "1 change waiting", "3 changes waiting".
std::string changesWaiting(int count);

}  // namespace tw::cli

#pragma once
// How the mount's state reads where a person sees it: `tidewright status` and the systemd status line.

#include <chrono>
#include <string>

namespace tw::cli {

// "YYYY-MM-DD HH:MM:SS" in local time.
std::string clockText(std::chrono::system_clock::time_point when);

// "1 change waiting", "3 changes waiting".
std::string changesWaiting(int count);

}  // namespace tw::cli

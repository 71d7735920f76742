#pragma once
// When an open record may answer for the service, and when the extension lets it go.

#include <cstdint>
#include <map>
#include <string>

#include "records/records.h"

namespace tw {

// A cached download address is reused only while it stays valid for longer than this.
inline constexpr std::int64_t reuseMarginMs = 120'000;

// The wall clock in whole milliseconds since the Unix epoch (truncated).
std::int64_t nowMs();

// True when `opened` expires more than two minutes after `now` (milliseconds since the epoch).
bool isReusable(const Opened& opened, std::int64_t now);

// Removes every record that is no longer reusable at `now`: the clock only moves on, so none of them would
// ever be used again.
void dropUnusable(std::map<std::string, Opened>& opened, std::int64_t now);

}  // namespace tw

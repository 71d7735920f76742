#pragma once
// Sizes as a person writes them on the command line: "4096", "100M", "10G".

#include <cstdint>
#include <string_view>

namespace tw::cli {

// The number of bytes `text` names: decimal digits, optionally followed by one of K, M, G or T (either case)
// for KiB, MiB, GiB or TiB (powers of 1024); a plain number is bytes. Nothing else is taken: no sign,
// fraction, space or other unit. Throws UsageError saying what a size looks like, also for one past the
// range of a signed 64-bit count.
std::int64_t parseByteSize(std::string_view text);

}  // namespace tw::cli

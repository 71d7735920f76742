#include "byte_size.h"

#include <charconv>
#include <limits>
#include <string>

#include "cli_host.h"

namespace tw::cli {
namespace {

// The power of 1024 a unit letter stands for, or -1 when it is none.
int shiftOf(char unit) {
    switch (unit) {
        case 'K':
        case 'k':
            return 10;
        case 'M':
        case 'm':
            return 20;
        case 'G':
        case 'g':
            return 30;
        case 'T':
        case 't':
            return 40;
        default:
            return -1;
    }
}

}  // namespace

std::int64_t parseByteSize(std::string_view text) {
    const std::string quoted = "\"" + std::string(text) + "\"";
    std::string_view digits = text;
    int shift = 0;
    if (!digits.empty() && shiftOf(digits.back()) >= 0) {
        shift = shiftOf(digits.back());
        digits.remove_suffix(1);
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        throw UsageError(quoted +
                         " is not a size: write a number of bytes, or of K, M, G or T (KiB, MiB, GiB, TiB), "
                         "such as 100M");
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    constexpr auto most = std::numeric_limits<std::int64_t>::max();
    if (error != std::errc() || end != digits.data() + digits.size() || value > (most >> shift))
        throw UsageError(quoted + " is too large a size: at most " + std::to_string(most) + " bytes");
    return value << shift;
}

}  // namespace tw::cli

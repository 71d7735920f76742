#include "platform/uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <system_error>

namespace tw {

namespace {

// Reads straight from the kernel's generator: no per-thread engine whose state a fork() would duplicate.
void fillRandom(std::uint8_t* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::getrandom(bytes + done, size - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

std::string randomUUID() {
    std::uint8_t bytes[16];
    fillRandom(bytes, sizeof bytes);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant

    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

}  // namespace tw

#include "interrupts.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <system_error>

namespace tw::cli {
namespace {

sigset_t interruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

Interrupts::Interrupts() {
    const sigset_t set = interruptSignals();
    if (const int code = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); code != 0)
        throw std::system_error(code, std::generic_category(), "cannot block SIGINT and SIGTERM");
    listener_ = std::jthread([this, set](std::stop_token closing) {
        // Woken ten times a second to see whether the host is done: a sigwait could not be ended otherwise.
        const timespec wake{0, 100'000'000};
        while (!closing.stop_requested()) {
            const int number = ::sigtimedwait(&set, nullptr, &wake);
            if (number < 0) continue;  // EAGAIN (nothing came) or EINTR
            if (signal_.exchange(number) != 0) std::_Exit(128 + number);
            stop_.request_stop();
        }
    });
}

Interrupts::~Interrupts() {
    listener_.request_stop();
    listener_.join();
    const sigset_t set = interruptSignals();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace tw::cli

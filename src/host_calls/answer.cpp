#include "host_calls/answer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace tw::hostcalls {

void completedTwice(const char* call) {
    std::fprintf(stderr,
                 "host call %s completed a second time: a host call completes exactly once (a fault of the "
                 "extension)\n",
                 call);
    std::fflush(stderr);
    std::abort();
}

void throwGivenUp(bool stopped) {
    if (stopped) throw userCancelledError();
    throw std::system_error(ETIMEDOUT, std::generic_category(), "no answer before the deadline");
}

void requireNotStopped(const Limits& limits) {
    if (limits.stop.stop_requested()) throwGivenUp(true);
}

}  // namespace tw::hostcalls

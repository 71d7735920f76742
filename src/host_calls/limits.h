#pragma once
// How long a host waits for one host call, and what else ends the wait.

#include <chrono>
#include <functional>
#include <stop_token>

namespace tw {
class Progress;
}

namespace tw::hostcalls {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
inline constexpr Deadline noDeadline = Deadline::max();

// Every wait of this library ends with the call's completion, or gives the call up: when `stop` is
// requested (it then throws the user-cancelled error, a tw::Error) or at `deadline` (it then throws
// std::system_error with ETIMEDOUT). A call given up on is cancelled through its progress where it has one
// and runs to its end unobserved; a file it delivers then is deleted. A stop requested before a call is
// made gives it up before it is made.
struct Limits {
    std::stop_token stop;
    Deadline deadline = noDeadline;
    // After giving up a call that has a progress, how long to wait on for the cancelled call to end, so
    // that what it cleans up on cancellation (a partial download, an unfinished upload) is cleaned up
    // before the wait throws: for a process that ends next. Zero throws at once.
    std::chrono::milliseconds windDown{0};
    // Called on the waiting thread with the call's progress about ten times a second while a call that has
    // one runs, and once more when it has completed (a progress bar). Enumerator calls have none.
    std::function<void(const Progress&)> watch;
};

}  // namespace tw::hostcalls

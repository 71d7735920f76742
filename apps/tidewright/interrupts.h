#pragma once
// SIGINT and SIGTERM as a stop request. While an Interrupts lives, the two signals are blocked in every
// thread and taken by a thread of its own: the first requests a stop on token(), so that the host's waits
// give their calls up (cancelled, their files cleaned up) and the command ends; a second ends the process at
// once with 128 + its number.

#include <atomic>
#include <stop_token>
#include <thread>

namespace tw::cli {

class Interrupts {
public:
    // Must be made before any other thread: threads made later inherit the blocked signals, and one made
    // before could still be given a signal and die of it. Throws std::system_error when the signals cannot
    // be blocked.
    Interrupts();
    // Unblocks the signals; one that came meanwhile is then delivered as usual.
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    std::stop_token token() const { return stop_.get_token(); }
    // The signal that asked the stop; 0 before any did.
    int signal() const { return signal_.load(); }

private:
    std::stop_source stop_;
    std::atomic<int> signal_{0};
    std::jthread listener_;
};

}  // namespace tw::cli

#pragma once
// Whether the service can be reached, as the mount's own calls to it find: offline from a call that failed
// for a reason of the network (no connection, no answer in time, the host not found: the extension's
// serverUnreachable with the transport's error under it) until the next call that the service answers, be
// its answer an error of its own (a 404, a 503). While offline, what needs the service (an uncached read, a
// listing never made, a folder made) fails at once instead of waiting out its retries and its deadline;
// writes go on into the journal, and the change tracker's rounds probe the service.
//
// Each change of state is logged once, and told to the callback, in the order the changes happened.
// Thread-safe; never call it with a lock held that the callback takes.

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

namespace tw::mount {

class Reachability {
public:
    // Told each change of state (true: offline from now on), on the thread whose call changed it.
    using Changed = std::function<void(bool offline)>;

    // Why `error` says the service cannot be reached (the transport's words); none when the service
    // answered, or when the failure says nothing of the network (a cancellation, a local file, a deadline).
    static std::optional<std::string> unreachableReason(const std::exception_ptr& error);

    bool offline() const { return offline_; }
    // Throws std::system_error EIO while offline: for a call that would only wait to fail.
    void check() const;

    // A call the service answered.
    void answered();
    // A call that failed with `error`: offline when the network is why, back online when the service
    // answered it, unchanged otherwise.
    void failed(const std::exception_ptr& error);

    // Runs `call` (one call to the service through the extension) and records its outcome.
    template <typename Call>
    auto record(Call&& call) {
        try {
            if constexpr (std::is_void_v<std::invoke_result_t<Call>>) {
                call();
                answered();
            } else {
                auto result = call();
                answered();
                return result;
            }
        } catch (...) {
            failed(std::current_exception());
            throw;
        }
    }

    void onChanged(Changed callback);

private:
    void become(bool offline, const std::string& reason);

    std::atomic<bool> offline_{false};
    std::mutex mutex_;  // orders the changes of state, their log lines and their callbacks
    Changed changed_;
};

}  // namespace tw::mount

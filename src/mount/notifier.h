#pragma once
// Tells the kernel what changed, from one thread of its own: the kernel's notifications must never be sent
// from inside a request handler (the kernel may be waiting on that very request, and libfuse deadlocks).
// Requests are queued and coalesced (the same entry or inode asked twice is told once).

#include <fuse_lowlevel.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>

namespace tw::mount {

class Notifier {
public:
    Notifier() = default;
    ~Notifier() { stop(); }
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Starts sending to `session` (requests made before are queued until then).
    void start(fuse_session* session);
    // Stops the thread; what is still queued is dropped. Must be called before the session is destroyed.
    void stop();

    // The name under `parent` may now lead elsewhere, or nowhere (a cached miss included).
    void invalidateEntry(fuse_ino_t parent, const std::string& name);
    // `child` is gone from `parent`'s `name` (told as invalidateEntry when `child` is 0).
    void deleteEntry(fuse_ino_t parent, fuse_ino_t child, const std::string& name);
    // The inode's attributes changed; with `data`, its contents too.
    void invalidateInode(fuse_ino_t inode, bool data);

    // Blocks until everything queued so far has been sent (for tests and orderly stops).
    void flush();

private:
    enum class Kind { entry, deletion, attributes, data };
    using Key = std::tuple<Kind, fuse_ino_t, fuse_ino_t, std::string>;
    void push(Key key);
    void run(std::stop_token stop);

    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<Key> queue_;
    std::set<Key> queued_;
    bool sending_ = false;
    fuse_session* session_ = nullptr;
    std::jthread thread_;
};

}  // namespace tw::mount

#include "mount/notifier.h"

namespace tw::mount {

void Notifier::start(fuse_session* session) {
    {
        std::scoped_lock lock(mutex_);
        session_ = session;
    }
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void Notifier::stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        changed_.notify_all();
        thread_.join();
    }
    std::scoped_lock lock(mutex_);
    queue_.clear();
    queued_.clear();
}

void Notifier::invalidateEntry(fuse_ino_t parent, const std::string& name) {
    push({Kind::entry, parent, 0, name});
}

void Notifier::deleteEntry(fuse_ino_t parent, fuse_ino_t child, const std::string& name) {
    push(child == 0 ? Key{Kind::entry, parent, 0, name} : Key{Kind::deletion, parent, child, name});
}

void Notifier::invalidateInode(fuse_ino_t inode, bool data) {
    push({data ? Kind::data : Kind::attributes, inode, 0, {}});
}

void Notifier::push(Key key) {
    {
        std::scoped_lock lock(mutex_);
        if (!queued_.insert(key).second) return;
        queue_.push_back(std::move(key));
    }
    changed_.notify_all();
}

void Notifier::flush() {
    std::unique_lock lock(mutex_);
    if (!thread_.joinable()) return;
    changed_.wait(lock, [this] { return queue_.empty() && !sending_; });
}

void Notifier::run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, stop, [this] { return !queue_.empty(); });
        if (stop.stop_requested()) return;
        auto [kind, first, second, name] = std::move(queue_.front());
        queue_.pop_front();
        queued_.erase({kind, first, second, name});
        sending_ = true;
        lock.unlock();
        // Answers such as ENOENT (the kernel no longer knows the entry) leave nothing to do.
        switch (kind) {
            case Kind::entry:
                fuse_lowlevel_notify_inval_entry(session_, first, name.data(), name.size());
                break;
            case Kind::deletion:
                fuse_lowlevel_notify_delete(session_, first, second, name.data(), name.size());
                break;
            case Kind::attributes:
                fuse_lowlevel_notify_inval_inode(session_, first, -1, 0);
                break;
            case Kind::data:
                fuse_lowlevel_notify_inval_inode(session_, first, 0, 0);
                break;
        }
        lock.lock();
        sending_ = false;
        changed_.notify_all();
    }
}

}  // namespace tw::mount

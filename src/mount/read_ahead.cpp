#include "mount/read_ahead.h"

#include <algorithm>
#include <string>
#include <utility>

#include "mount/mount_log.h"

namespace tw::mount {

namespace {

// The least a read-ahead fetches.
constexpr std::int64_t readAheadFloor = std::int64_t{1} << 20;

}  // namespace

ReadAhead::ReadAhead(CacheState& state, CacheEntry& entry, FetchClaimed fetchClaimed)
    : state_(state), entry_(entry), fetchClaimed_(std::move(fetchClaimed)) {}

ReadAhead::~ReadAhead() {
    stop();
}

void ReadAhead::stop() {
    {
        std::scoped_lock lock(state_.mutex);
        stopped_ = true;
    }
    // Every lane is stopped before any is joined, as a lane's thread may be starting the other lane's.
    for (auto& lane : lanes_)
        lane.stop.request_stop();
    for (auto& lane : lanes_) {
        std::scoped_lock lock(lane.threadMutex);
        if (lane.thread.joinable()) lane.thread.join();
    }
}

void ReadAhead::noteRead(std::int64_t offset, std::int64_t end) {
    // Reads a little out of order (the kernel reads ahead on several threads) still count.
    lastReadSequential_ = lastReadEnd_ >= 0 && offset >= lastReadStart_ && offset <= lastReadEnd_;
    lastReadStart_ = offset;
    lastReadEnd_ = end;
}

void ReadAhead::noteFetched(std::int64_t length) {
    lastFetched_ = length;
}

void ReadAhead::start() {
    std::shared_ptr<RangeFetch> range;
    std::size_t laneIndex = 0;
    {
        std::scoped_lock lock(state_.mutex);
        if (stopped_ || downloading_ || !lastReadSequential_) return;
        const auto from = lastReadEnd_;
        auto start = entry_.present.presentUntil(from);
        for (bool skipped = true; skipped;) {
            skipped = false;
            for (const auto& f : entry_.fetching)
                if (f->start <= start && start < f->end) {
                    start = entry_.present.presentUntil(f->end);
                    skipped = true;
                }
        }
        const auto size = entry_.key.size;
        const auto chunk = std::max(readAheadFloor, lastFetched_);
        const auto free =
            std::find_if(lanes_.begin(), lanes_.end(), [](const Lane& lane) { return !lane.busy; });
        if (start >= size || start - from >= 2 * chunk || free == lanes_.end()) return;
        const auto gap = entry_.present.missing(start, start + std::min(size - start, chunk)).front();
        range = std::make_shared<RangeFetch>(RangeFetch{gap.first, gap.second});
        entry_.fetching.push_back(range);
        downloading_ = true;
        free->busy = true;
        laneIndex = static_cast<std::size_t>(free - lanes_.begin());
    }
    auto& lane = lanes_[laneIndex];
    std::scoped_lock lock(lane.threadMutex);
    if (lane.thread.joinable()) lane.thread.join();  // its last thread, ended or ending
    {
        // stop() may have joined this lane since the range was claimed: no thread may start after that.
        std::scoped_lock stateLock(state_.mutex);
        if (stopped_) {
            state_.finish(entry_, *range, nullptr);
            downloading_ = false;
            lane.busy = false;
            return;
        }
    }
    lane.thread = std::thread([this, range, &lane] {
        const auto stop = lane.stop.get_token();
        try {
            fetchClaimed_(range, stop, [this, &stop](const Delivery& delivery) {
                {
                    std::scoped_lock lock(state_.mutex);
                    downloading_ = false;
                    lastFetched_ = delivery.range.length;
                }
                if (!stop.stop_requested()) start();
            });
        } catch (const std::exception& e) {
            if (!stop.stop_requested()) cacheLog().info(std::string("a read-ahead failed: ") + e.what());
        } catch (...) {
        }
        std::scoped_lock lock(state_.mutex);
        downloading_ = false;  // when the download failed
        lane.busy = false;
    });
}

}  // namespace tw::mount

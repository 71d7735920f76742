#pragma once
// What the content cache's tests share: source bytes served as the extension delivers them, and reads of
// what a handle holds.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "mount/content_cache.h"
#include "platform/error.h"
#include "support/bytes.h"
#include "support/service_fixture.h"

namespace tw::mount::cachetest {

namespace fs = std::filesystem;
using Ranges = std::vector<host::ByteRange>;
using Clock = std::chrono::steady_clock;
inline const auto noDeadline = Clock::time_point::max();

// Serves ranges of `source` the way the extension delivers them: a new sparse file holding the range at its
// own offsets, at least `readAhead` bytes long.
struct SourceFetcher {
    const std::string& source;
    fs::path folder;
    std::int64_t readAhead = 0;
    std::function<void()> beforeDelivery;  // runs outside the lock, e.g. to block or to throw
    std::function<Delivery(Delivery)> alter;
    std::mutex mutex;
    Ranges asked_;

    Delivery operator()(host::ByteRange wanted, std::stop_token) {
        const auto file = [&] {
            std::scoped_lock lock(mutex);
            asked_.push_back(wanted);
            return folder / ("delivery-" + std::to_string(asked_.size()));
        }();
        if (beforeDelivery) beforeDelivery();
        const host::ByteRange range{wanted.location, std::min(std::max(wanted.length, readAhead),
                                                              std::ssize(source) - wanted.location)};
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0600);
        EXPECT_EQ(::pwrite(fd, source.data() + range.location, range.length, range.location), range.length);
        ::close(fd);
        return alter ? alter({file, range}) : Delivery{file, range};
    }
    Ranges asked() {
        std::scoped_lock lock(mutex);
        return asked_;
    }
};

inline std::string readAt(ContentCache::Handle& handle, std::int64_t offset, std::int64_t length) {
    std::string bytes(length, '\0');
    bytes.resize(std::max<ssize_t>(0, ::pread(handle.fd(), bytes.data(), length, offset)));
    return bytes;
}

inline std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder))
        names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// What a call ended with: its result, "errno N", "logic: TEXT", or an Error's domain, code and text.
inline std::string outcome(const std::function<std::int64_t()>& call) {
    try {
        return std::to_string(call());
    } catch (const std::system_error& e) {
        return "errno " + std::to_string(e.code().value());
    } catch (const std::logic_error& e) {
        return std::string("logic: ") + e.what();
    } catch (const Error& e) {
        return e.domain() + " " + std::to_string(e.code()) + " " + e.what();
    }
}

// Holds a fetch until the test releases it.
struct HeldFetch {
    std::promise<void> entered, released;
    std::shared_future<void> release = released.get_future().share();
    void hold() {
        entered.set_value();
        release.wait();
    }
};

// A cache in a temporary folder, and a source of 256 KiB that `fetcher` serves.
class CacheTest : public ::testing::Test {
protected:
    CacheTest() { fs::create_directory(deliveries()); }

    fs::path folder() const { return dir.path() / "cache"; }
    fs::path deliveries() const { return dir.path() / "deliveries"; }
    std::int64_t ensure(ContentCache::Handle& handle, std::int64_t offset, std::int64_t length,
                        std::stop_token stop = {}, Clock::time_point deadline = noDeadline) {
        return handle.ensure(offset, length, std::ref(fetcher), stop, deadline);
    }

    tw::test::TempDir dir;
    const std::string source = test::seededBytes(256 * 1024, 42);
    const std::int64_t size = std::ssize(source);
    SourceFetcher fetcher{source, deliveries()};
    ContentCache cache{folder(), 1 << 30};
};

}  // namespace tw::mount::cachetest

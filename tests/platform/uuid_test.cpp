#include "platform/uuid.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tw {
namespace {

TEST(Uuid, IsUpperCaseVersion4AndNeverRepeatsAcrossThreads) {
    const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::mutex mutex;
    std::set<std::string> seen;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            std::vector<std::string> mine;
            for (int i = 0; i < 10'000; ++i)
                mine.push_back(randomUUID());
            std::scoped_lock lock(mutex);
            seen.insert(mine.begin(), mine.end());
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(seen.size(), 40'000u);
    for (const std::string& uuid : seen)
        ASSERT_TRUE(std::regex_match(uuid, shape)) << uuid;
}

}  // namespace
}  // namespace tw

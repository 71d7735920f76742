#include "platform/uuid.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tw {
namespace {

// X: an upper-case hexadecimal digit; V: the variant digit, one of 8, 9, A, B.
bool isUpperCaseVersion4(const std::string& uuid) {
    const std::string_view shape = "XXXXXXXX-XXXX-4XXX-VXXX-XXXXXXXXXXXX";
    if (uuid.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const std::string_view allowed = shape[i] == 'X'   ? "0123456789ABCDEF"
                                         : shape[i] == 'V' ? "89AB"
                                                           : shape.substr(i, 1);
        if (allowed.find(uuid[i]) == std::string_view::npos) return false;
    }
    return true;
}

TEST(Uuid, IsUpperCaseVersion4In8_4_4_4_12) {
    for (int i = 0; i < 1'000; ++i) {
        std::string uuid = randomUUID();
        ASSERT_TRUE(isUpperCaseVersion4(uuid)) << uuid;
    }
}

TEST(Uuid, NeverRepeatsAcrossThreads) {
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
}

}  // namespace
}  // namespace tw

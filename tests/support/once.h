#pragma once
// The first answer of a completion handler; wait() checks that no second one follows.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace tw::test {

template <typename Answer>
class Once {
public:
    void set(Answer answer) {
        if (calls_.fetch_add(1) == 0) promise_.set_value(std::move(answer));
    }
    int calls() const { return calls_.load(); }
    Answer wait() {
        auto future = promise_.get_future();
        EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        auto answer = future.get();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // room for a second, wrong call
        EXPECT_EQ(calls_.load(), 1);
        return answer;
    }

private:
    std::atomic<int> calls_{0};
    std::promise<Answer> promise_;
};

}  // namespace tw::test

#pragma once
// Creation, modification and deletion against the recording loopback server: the items a host hands in,
// and the answers of the three calls, each checked to come exactly once.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "provider/extension.h"
#include "support/test_server.h"

namespace tw::test {

inline host::Domain domainFor(const std::string& base) {
    return {.identifier = "d1",
            .displayName = "Tidewright",
            .userInfo = nlohmann::json{{"base", base}, {"token", "t"}}};
}

// A node as the service sends it: `extra` holds more keys, each with its leading comma.
inline std::string nodeJson(const std::string& id, const std::string& kind, const std::string& name,
                            int version, const std::string& extra = "") {
    return R"({"id":")" + id + R"(","kind":")" + kind + R"(","name":")" + name + R"(","version":)" +
           std::to_string(version) + extra + "}";
}

// An item as a host hands it in: what the host set, and no content type unless it gave one.
class HostItem : public host::Item {
public:
    HostItem(host::ItemIdentifier id, host::ItemIdentifier parent, std::string name,
             std::optional<ContentType> type)
        : id_(std::move(id)), parent_(std::move(parent)), name_(std::move(name)), type_(std::move(type)) {}
    host::ItemIdentifier itemIdentifier() const override { return id_; }
    host::ItemIdentifier parentItemIdentifier() const override { return parent_; }
    std::string filename() const override { return name_; }
    std::optional<ContentType> contentType() const override { return type_; }

private:
    host::ItemIdentifier id_, parent_;
    std::string name_;
    std::optional<ContentType> type_;
};

inline host::ItemPointer hostItem(host::ItemIdentifier id, host::ItemIdentifier parent, std::string name,
                                  std::optional<ContentType> type = std::nullopt) {
    return std::make_shared<HostItem>(std::move(id), std::move(parent), std::move(name), std::move(type));
}

// The first answer of a completion handler; wait() checks that no second one follows.
template <typename Answer>
class Once {
public:
    void set(Answer answer) {
        if (calls_.fetch_add(1) == 0) promise_.set_value(std::move(answer));
    }
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

struct Changed {
    host::ItemPointer item;
    host::ItemFieldSet pending = 0;
    bool shouldFetchContent = false;
    std::optional<Error> error;
};

// Runs `call` with a change completion and waits for its one answer; `progress` gets what it returned.
template <class Call>
Changed changeAndWait(Call call, std::shared_ptr<Progress>* progress) {
    auto once = std::make_shared<Once<Changed>>();
    auto returned = call(
        [once](host::ItemPointer item, host::ItemFieldSet pending, bool fetch, std::optional<Error> error) {
            once->set({item, pending, fetch, error});
        });
    if (progress) *progress = returned;
    return once->wait();
}

inline Changed create(FileProviderExtension& extension, host::ItemPointer item,
                      std::optional<std::filesystem::path> contents = std::nullopt, std::uint64_t options = 0,
                      std::shared_ptr<Progress>* progress = nullptr) {
    return changeAndWait(
        [&](auto handler) { return extension.createItem(item, 0, contents, options, {}, handler); },
        progress);
}

inline Changed modify(FileProviderExtension& extension, host::ItemPointer item, std::string baseRevision,
                      host::ItemFieldSet fields, std::optional<std::filesystem::path> contents = std::nullopt,
                      std::shared_ptr<Progress>* progress = nullptr) {
    return changeAndWait(
        [&](auto handler) {
            return extension.modifyItem(item, {baseRevision, "1"}, fields, contents, 0, {}, handler);
        },
        progress);
}

inline std::optional<Error> deleteAndWait(FileProviderExtension& extension,
                                          const host::ItemIdentifier& identifier) {
    auto once = std::make_shared<Once<std::optional<Error>>>();
    extension.deleteItem(identifier, host::ItemVersion{"r0", "1"}, host::recursiveDeletion, {},
                         [once](std::optional<Error> error) { once->set(std::move(error)); });
    return once->wait();
}

// "METHOD target" of each request from the index `from` on.
inline std::vector<std::string> sent(const TestServer& server, std::size_t from = 0) {
    std::vector<std::string> lines;
    const auto requests = server.requests();
    for (std::size_t i = from; i < requests.size(); ++i)
        lines.push_back(requests[i].method + " " + requests[i].target);
    return lines;
}

// A file of these bytes, removed at the end of the scope.
class LocalFile {
public:
    explicit LocalFile(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
    ~LocalFile() { std::filesystem::remove(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    inline static std::atomic<int> serial{0};
    std::filesystem::path path_ =
        std::filesystem::temp_directory_path() /
        ("tw-mutation-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
};

}  // namespace tw::test

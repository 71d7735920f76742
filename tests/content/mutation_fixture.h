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

// An item as a host hands it in: what the host set, and no content type unless it gave one.
class HostItem : public host::Item {
public:
    HostItem(host::ItemIdentifier identifier, host::ItemIdentifier parent, std::string name,
             std::optional<ContentType> type)
        : identifier_(std::move(identifier)),
          parent_(std::move(parent)),
          name_(std::move(name)),
          type_(std::move(type)) {}
    host::ItemIdentifier itemIdentifier() const override { return identifier_; }
    host::ItemIdentifier parentItemIdentifier() const override { return parent_; }
    std::string filename() const override { return name_; }
    std::optional<ContentType> contentType() const override { return type_; }

private:
    host::ItemIdentifier identifier_, parent_;
    std::string name_;
    std::optional<ContentType> type_;
};

inline host::ItemPointer hostItem(host::ItemIdentifier identifier, host::ItemIdentifier parent,
                                  std::string name, std::optional<ContentType> type = std::nullopt) {
    return std::make_shared<HostItem>(std::move(identifier), std::move(parent), std::move(name),
                                      std::move(type));
}

// The first answer of a completion handler; wait() checks that no second one follows.
template <typename Answer>
class Once {
public:
    void set(Answer answer) {
        if (calls_.fetch_add(1) == 0) promise_.set_value(std::move(answer));
    }
    Answer wait() {
        using namespace std::chrono_literals;
        auto future = promise_.get_future();
        EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
        auto answer = future.get();
        std::this_thread::sleep_for(20ms);  // room for a second, wrong call to show up
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

inline std::pair<std::shared_ptr<Once<Changed>>, host::ItemChangeCompletion> changeCompletion() {
    auto once = std::make_shared<Once<Changed>>();
    return {once, [once](host::ItemPointer item, host::ItemFieldSet pending, bool fetch,
                         std::optional<Error> error) {
                once->set({item, pending, fetch, std::move(error)});
            }};
}

inline Changed create(FileProviderExtension& extension, host::ItemPointer itemTemplate,
                      std::optional<std::filesystem::path> contents = std::nullopt, std::uint64_t options = 0,
                      std::shared_ptr<Progress>* progress = nullptr) {
    auto [once, handler] = changeCompletion();
    auto returned =
        extension.createItem(std::move(itemTemplate), 0, std::move(contents), options, {}, handler);
    if (progress) *progress = returned;
    return once->wait();
}

inline Changed modify(FileProviderExtension& extension, host::ItemPointer item, std::string baseRevision,
                      host::ItemFieldSet changedFields,
                      std::optional<std::filesystem::path> contents = std::nullopt,
                      std::shared_ptr<Progress>* progress = nullptr) {
    auto [once, handler] = changeCompletion();
    auto returned = extension.modifyItem(std::move(item), host::ItemVersion{std::move(baseRevision), "1"},
                                         changedFields, std::move(contents), 0, {}, handler);
    if (progress) *progress = returned;
    return once->wait();
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
    explicit LocalFile(const std::string& bytes)
        : path_(std::filesystem::temp_directory_path() /
                ("tw-mutation-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++))) {
        std::ofstream(path_, std::ios::binary) << bytes;
    }
    ~LocalFile() { std::filesystem::remove(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    static std::atomic<int>& counter() {
        static std::atomic<int> value{0};
        return value;
    }
    std::filesystem::path path_;
};

}  // namespace tw::test

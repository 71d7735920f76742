#pragma once
// Downloads and ranged reads of one extension against the recording loopback server: the open endpoint and
// the download addresses are scripted per test, the manager's temporary folder and the session's download
// folder are fresh folders of the test.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>

#include "content/opened_cache.h"
#include "platform/log.h"
#include "provider/extension.h"
#include "support/test_server.h"

namespace tw::test {

using namespace std::chrono_literals;

// The open record the service would send for a file node.
inline std::string openedJson(const std::string& id, std::int64_t size, const std::string& url,
                              std::int64_t expiresAt = nowMs() + 900'000) {
    return nlohmann::json{{"id", id},     {"kind", "file"}, {"name", id + ".bin"}, {"version", 1},
                          {"size", size}, {"rev", "r1"},    {"url", url},          {"expiresAt", expiresAt}}
        .dump();
}

// The server's pattern bytes [lower, upper): byte i is i % 251, as generatedBodySize sends them.
inline std::string patternBytes(std::int64_t lower, std::int64_t upper) {
    static const std::string period = [] {
        std::string bytes(251 * 2, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i % 251);
        return bytes;
    }();
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(upper - lower));
    for (std::int64_t at = lower; at < upper;) {
        const auto run = std::min<std::int64_t>(upper - at, 251);
        bytes.append(period, static_cast<std::size_t>(at % 251), static_cast<std::size_t>(run));
        at += run;
    }
    return bytes;
}

// Bytes [offset, offset + length) of a file.
inline std::string readAt(const std::filesystem::path& path, std::int64_t offset, std::int64_t length) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    in.read(bytes.data(), length);
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// A 206 for the "Range: bytes=A-B" of `request` on a file of `size` pattern bytes.
inline Reply rangeReply(const RecordedRequest& request, std::int64_t size) {
    const std::string range = request.header("Range").value_or("");
    std::int64_t first = 0, last = 0;
    const auto dash = range.find('-');
    std::from_chars(range.data() + 6, range.data() + dash, first);
    std::from_chars(range.data() + dash + 1, range.data() + range.size(), last);
    last = std::min(last, size - 1);
    return {206,
            {{"Content-Range",
              "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size)}},
            patternBytes(first, last + 1)};
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// What a completion handler received, and how often it was called.
struct Fetched {
    std::optional<std::filesystem::path> file;
    host::ItemPointer item;
    host::ByteRange range;
    std::optional<Error> error;
};

class ContentTest : public ::testing::Test {
protected:
    ContentTest() {
        std::filesystem::create_directories(downloads);
        ::setenv("TMPDIR", downloads.c_str(), 1);  // where the session puts a download before it is moved
        previous = host::Manager::setProvider([folder = provided](const host::Domain&) {
            return std::make_shared<host::DirectoryManager>(folder);
        });
        extension = FileProviderExtension::make(
            {.identifier = "d1",
             .displayName = "T",
             .userInfo = nlohmann::json{{"base", server.base()}, {"token", "t"}}});
    }
    ~ContentTest() override {
        host::Manager::setProvider(previous);
        ::unsetenv("TMPDIR");
        std::filesystem::remove_all(root);
    }

    Fetched fetch(const std::string& id, std::shared_ptr<Progress>* progress = nullptr) {
        auto answer = std::make_shared<std::promise<Fetched>>();
        auto calls = std::make_shared<std::atomic<int>>(0);
        auto returned = extension->fetchContents(
            id, std::nullopt, {},
            [answer, calls](auto file, host::ItemPointer item, std::optional<Error> error) {
                if (calls->fetch_add(1) == 0)
                    answer->set_value({std::move(file), std::move(item), {}, std::move(error)});
            });
        if (progress) *progress = returned;
        return await(answer, calls);
    }

    Fetched partial(const std::string& id, std::int64_t location, std::int64_t length,
                    std::int64_t alignment) {
        auto answer = std::make_shared<std::promise<Fetched>>();
        auto calls = std::make_shared<std::atomic<int>>(0);
        extension->fetchPartialContents(
            id, {}, {}, {location, length}, alignment, 0,
            [answer, calls](auto file, host::ItemPointer item, host::ByteRange range,
                            host::MaterializationFlags, std::optional<Error> error) {
                if (calls->fetch_add(1) == 0)
                    answer->set_value({std::move(file), std::move(item), range, std::move(error)});
            });
        return await(answer, calls);
    }

    // The reason the last failed call gave in the log ("service error 200 range").
    std::string failure() const {
        const std::string prefix = "operação falhou: ";
        std::string last;
        for (const auto& record : log.records())
            if (record.message.starts_with(prefix)) last = record.message.substr(prefix.size());
        return last;
    }

    std::vector<RecordedRequest> requestsUnder(const std::string& prefix) const {
        std::vector<RecordedRequest> found;
        for (auto& request : server.requests())
            if (request.target.starts_with(prefix)) found.push_back(request);
        return found;
    }

    // Files in a folder: nothing is left behind by a failed call.
    static std::size_t filesIn(const std::filesystem::path& folder) {
        std::error_code ignored;
        return static_cast<std::size_t>(
            std::distance(std::filesystem::directory_iterator(folder, ignored), {}));
    }

    TestServer server;
    LogCapture log;
    std::filesystem::path root = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "tw-content-XXXXXX").string();
        return std::filesystem::path(::mkdtemp(pattern.data()));
    }();
    std::filesystem::path downloads = root / "downloads";
    std::filesystem::path provided = root / "provided";
    host::Manager::Provider previous;
    std::shared_ptr<FileProviderExtension> extension;

private:
    static Fetched await(const std::shared_ptr<std::promise<Fetched>>& answer,
                         const std::shared_ptr<std::atomic<int>>& calls) {
        auto future = answer->get_future();
        EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
        auto result = future.get();
        EXPECT_EQ(calls->load(), 1);
        return result;
    }
};

}  // namespace tw::test

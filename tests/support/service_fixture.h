#pragma once

// tidewright-server in this process on a free port over a fresh data folder, a JSON client bound to it, and a
// child-process runner. Its names differ from support/test_server.h's, so a test may use both.

#include "server/service.h"
#include "support/temp_dir.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tw::test {

inline const std::string testToken = "test-token";

struct ServiceReply {
    int status = 0;  // 0 when the request failed without a reply (connection closed, cut...)
    std::string body;
    httplib::Headers headers;
    nlohmann::json json() const;  // the body parsed, or null when it is not JSON
    std::string error() const;    // the "error" member of a JSON body, or ""
    std::string header(const std::string& name) const;
};

// A client for one server with a fixed bearer token (none when empty). Not thread-safe: one per thread.
class Api {
public:
    Api(const std::string& base, std::string token = testToken);

    using Path = const std::string&;
    using Headers = const httplib::Headers&;
    ServiceReply get(Path path, Headers headers = {}) { return of(client_->Get(path, with(headers))); }
    ServiceReply post(Path path, const nlohmann::json& body, Headers headers = {}) {
        return of(client_->Post(path, with(headers), body.dump(), jsonType));
    }
    ServiceReply postBytes(Path path, const std::string& data, Headers headers = {}) {
        return of(client_->Post(path, with(headers), data, bytesType));
    }
    ServiceReply postRaw(Path path, const std::string& text) {  // a body sent as is, as JSON
        return of(client_->Post(path, with({}), text, jsonType));
    }
    ServiceReply postEmpty(Path path) { return of(client_->Post(path, with({}), "", "")); }
    ServiceReply put(Path path, const std::string& data) {
        return of(client_->Put(path, with({}), data, bytesType));
    }
    ServiceReply patch(Path path, const nlohmann::json& body, Headers headers = {}) {
        return of(client_->Patch(path, with(headers), body.dump(), jsonType));
    }
    ServiceReply del(Path path, Headers headers = {}) { return of(client_->Delete(path, with(headers))); }

    // Shortcuts that expect success (else the running test fails) and return the node record.
    nlohmann::json folder(const std::string& name, const std::string& parent = "");
    nlohmann::json upload(const std::string& name, const std::string& bytes, const std::string& parent = "");
    std::string download(const std::string& id);

private:
    static constexpr const char* jsonType = "application/json";
    static constexpr const char* bytesType = "application/octet-stream";
    static ServiceReply of(const httplib::Result& result) {
        return result ? ServiceReply{result->status, result->body, result->headers} : ServiceReply{};
    }
    httplib::Headers with(const httplib::Headers& headers) const;
    std::unique_ptr<httplib::Client> client_;
    std::string token_;
};

class InProcessServer {
public:
    // A fresh data folder, the token testToken, faults allowed.
    static server::Options testOptions();
    explicit InProcessServer(server::Options options = testOptions());
    ~InProcessServer();

    const std::string& base() const { return base_; }
    server::Service& service() { return server_->service(); }
    const std::filesystem::path& dataDir() const { return options_.dataDir; }
    // The service goes away (every connection refused) and comes back on the same address and data.
    void stop();
    void start();
    Api api(const std::string& token = testToken) const { return Api(base_, token); }

private:
    std::unique_ptr<TempDir> dir_;
    server::Options options_;
    std::unique_ptr<server::HttpServer> server_;
    std::thread thread_;
    std::string base_;
};

// A child process with its standard output and error captured.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();  // kills the child if it is still running
    // The next line of standard output (without the newline); nullopt at end of output or after `seconds`.
    std::optional<std::string> readLine(double seconds = 10);
    void signal(int signal);
    // Waits for the exit; the exit status, or 128 + signal number. -1 after `seconds` without an exit.
    int wait(double seconds = 10);
    std::string stderrText();

private:
    int pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string pending_;
    bool exited_ = false;
};

}  // namespace tw::test

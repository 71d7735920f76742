#include "support/service_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace tw::test {
namespace fs = std::filesystem;

nlohmann::json ServiceReply::json() const {
    auto parsed = nlohmann::json::parse(body, nullptr, false);
    return parsed.is_discarded() ? nlohmann::json() : parsed;
}

std::string ServiceReply::error() const {
    auto parsed = json();
    if (parsed.is_object() && parsed.contains("error") && parsed["error"].is_string()) return parsed["error"];
    return "";
}

std::string ServiceReply::header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
}

Api::Api(const std::string& base, std::string token)
    : client_(std::make_unique<httplib::Client>(base)), token_(std::move(token)) {
    client_->set_read_timeout(20);
    client_->set_keep_alive(true);
    client_->set_tcp_nodelay(true);  // without it each request waits out a delayed ACK (about 40 ms)
}

httplib::Headers Api::with(const httplib::Headers& headers) const {
    httplib::Headers all = headers;
    if (!token_.empty()) all.emplace("Authorization", "Bearer " + token_);
    return all;
}

nlohmann::json Api::folder(const std::string& name, const std::string& parent) {
    nlohmann::json body = {{"name", name}};
    if (!parent.empty()) body["parent"] = parent;
    ServiceReply reply = post("/api/v1/nodes", body);
    EXPECT_EQ(reply.status, 201) << reply.body;
    return reply.json();
}

nlohmann::json Api::upload(const std::string& name, const std::string& bytes, const std::string& parent) {
    std::string path = "/api/v1/files?name=" + httplib::detail::encode_query_param(name) +
                       "&mime=text%2Fplain&conflict=fail";
    if (!parent.empty()) path += "&parent=" + parent;
    ServiceReply reply = postBytes(path, bytes);
    EXPECT_EQ(reply.status, 201) << reply.body;
    return reply.json();
}

std::string Api::download(const std::string& id) {
    ServiceReply opened = postEmpty("/api/v1/nodes/" + id + "/open");
    EXPECT_EQ(opened.status, 200) << opened.body;
    ServiceReply content = of(client_->Get(opened.json().value("url", "")));
    EXPECT_EQ(content.status, 200) << content.body;
    return content.body;
}

server::Options InProcessServer::testOptions() {
    server::Options options;
    options.tokens = {testToken};
    options.allowFaults = true;
    options.threads = 24;
    return options;
}

InProcessServer::InProcessServer(server::Options options) : options_(std::move(options)) {
    if (options_.dataDir.empty()) {
        dir_ = std::make_unique<TempDir>();
        options_.dataDir = dir_->path() / "data";
    }
    options_.host = "127.0.0.1";
    options_.port = 0;
    server_ = std::make_unique<server::HttpServer>(options_);
    server_->bind();
    base_ = server_->baseUrl();
    options_.port = std::stoi(base_.substr(base_.rfind(':') + 1));  // kept by a restart
    thread_ = std::thread([this] { server_->run(); });
}

InProcessServer::~InProcessServer() {
    stop();
}

void InProcessServer::stop() {
    if (!server_) return;
    server_->stop();
    thread_.join();
    server_.reset();
}

void InProcessServer::start() {
    if (server_) return;
    server_ = std::make_unique<server::HttpServer>(options_);
    server_->bind();
    thread_ = std::thread([this] { server_->run(); });
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    // The child of a threaded process may not allocate (another thread may hold the allocator's lock at the
    // fork): everything it uses is ready before.
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
}

ChildProcess::~ChildProcess() {
    if (!exited_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
}

std::optional<std::string> ChildProcess::readLine(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (auto newline = pending_.find('\n'); newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd fd{out_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
        char buffer[4096];
        ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

void ChildProcess::signal(int signal) {
    kill(pid_, signal);
}

int ChildProcess::wait(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exited_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::string ChildProcess::stderrText() {
    std::string text;
    char buffer[4096];
    pollfd fd{err_, POLLIN, 0};
    while (poll(&fd, 1, 0) > 0) {
        ssize_t n = read(err_, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace tw::test

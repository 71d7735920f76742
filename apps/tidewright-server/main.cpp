// tidewright-server: the local stand-in of the Tidewright service.
//
//   tidewright-server --data DIR [--listen 127.0.0.1:PORT] [--token-file FILE] [--token TOKEN]...
//                     [--pairing-secret-file FILE] [--seed demo] [--seed-bulk N] [--allow-faults]
//                     [--part-size BYTES] [--open-ttl SECONDS] [--upload-ttl SECONDS] [--threads N]
//
// Prints its base address as the first line of standard output, serves until SIGINT or SIGTERM, then
// stops cleanly. Bad arguments, an unusable data folder or a busy port: one line on stderr, status 2.

#include "server/names.h"
#include "server/seed.h"
#include "server/service.h"

#include <pthread.h>
#include <signal.h>
#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

constexpr int badUsage = 2;

// Every line the program writes for a person goes through here; paths and values in it are escaped, so
// one with a line break or a terminal control sequence stays one harmless line.
int fail(const std::string& message) {
    std::cerr << "tidewright-server: " << tw::server::escapeText(message) << "\n";
    return badUsage;
}

// "HOST:PORT", "[V6]:PORT"; false when malformed.
bool parseListen(const std::string& text, std::string& host, int& port) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    std::string digits = text.substr(colon + 1);
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    return !host.empty() && ec == std::errc() && end == digits.data() + digits.size() && port >= 0 &&
           port <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
    tw::server::Options options;
    std::string data, listen = "127.0.0.1:0", secretFile, tokenFile, seed;
    std::int64_t bulk = 0, openTtl = options.openTtlMs / 1000, uploadTtl = options.uploadTtlMs / 1000;

    CLI::App app{"The local stand-in of the Tidewright service", "tidewright-server"};
    app.add_option("--data", data, "Folder holding the database and the contents (created when missing)")
        ->required();
    app.add_option("--listen", listen, "Address to listen on, HOST:PORT; port 0 picks a free port")
        ->capture_default_str();
    app.add_option("--token-file", tokenFile,
                   "File of bearer tokens accepted until the server stops, one a line (not shown by ps)");
    app.add_option(
        "--token", options.tokens,
        "Bearer token accepted until the server stops (repeatable; visible to every user, for tests)");
    app.add_option("--pairing-secret-file", secretFile, "File holding the device pairing secret");
    app.add_option("--seed", seed, "Fill an empty space: 'demo'")->check(CLI::IsMember({"demo"}));
    app.add_option("--seed-bulk", bulk, "Add a folder 'Bulk' with N empty files (benchmarks)")
        ->check(CLI::Range(std::int64_t{0}, std::int64_t{10'000'000}));
    app.add_flag("--allow-faults", options.allowFaults, "Enable the /_control endpoint (tests only)");
    app.add_option("--part-size", options.partSize, "Part size answered to multipart uploads, in bytes")
        ->check(CLI::Range(std::int64_t{1}, std::int64_t{1} << 32))
        ->capture_default_str();
    app.add_option("--open-ttl", openTtl, "Lifetime of a download address, in seconds")
        ->check(CLI::Range(std::int64_t{0}, std::int64_t{365} * 86400))
        ->capture_default_str();
    app.add_option("--upload-ttl", uploadTtl, "Lifetime of an unfinished multipart upload, in seconds")
        ->check(CLI::Range(std::int64_t{1}, std::int64_t{365} * 86400))
        ->capture_default_str();
    app.add_option("--threads", options.threads, "Connections served at once")
        ->check(CLI::Range(4, 1024))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        if (auto newline = message.find('\n'); newline != std::string::npos) message.resize(newline);
        return fail(message);
    }
    if (!parseListen(listen, options.host, options.port))
        return fail("--listen wants HOST:PORT, got " + listen);
    options.dataDir = data;
    options.openTtlMs = openTtl * 1000;
    options.uploadTtlMs = uploadTtl * 1000;
    if (!tokenFile.empty()) {
        std::ifstream in(tokenFile, std::ios::binary);
        if (!in) return fail("cannot read the token file " + tokenFile);
        std::size_t before = options.tokens.size();
        for (std::string line; std::getline(in, line);) {
            while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
                line.pop_back();
            if (!line.empty()) options.tokens.push_back(line);
        }
        if (options.tokens.size() == before) return fail("the token file " + tokenFile + " holds no token");
    }
    if (!secretFile.empty()) {
        std::ifstream in(secretFile, std::ios::binary);
        if (!in) return fail("cannot read the pairing secret file " + secretFile);
        std::stringstream text;
        text << in.rdbuf();
        std::string secret = text.str();
        while (!secret.empty() && std::isspace(static_cast<unsigned char>(secret.back())))
            secret.pop_back();
        if (secret.empty()) return fail("the pairing secret file " + secretFile + " is empty");
        options.pairingSecret = secret;
    }

    // Signals are taken by one thread with sigwait, so no handler runs inside the server's code.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);  // wakes the signal thread when the server stops on its own
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<tw::server::HttpServer> server;
    try {
        server = std::make_unique<tw::server::HttpServer>(options);
        if (seed == "demo") tw::server::seedDemo(server->service());
        if (bulk > 0) tw::server::seedBulk(server->service(), bulk);
        server->bind();
    } catch (const tw::server::StartupError& e) {
        return fail(e.what());
    } catch (const std::exception& e) {
        return fail(std::string("cannot start: ") + e.what());
    }

    std::thread waiter([&server, &signals] {
        int received = 0;
        sigwait(&signals, &received);
        server->stop();
    });
    std::cout << server->baseUrl() << std::endl;
    server->run();
    pthread_kill(waiter.native_handle(), SIGUSR1);
    waiter.join();
    server.reset();
    return 0;
}

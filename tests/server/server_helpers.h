#pragma once
// Shorthands for the service's tests: paths, replies read as "status error", raw loopback connections.

#include "support/elapsed.h"
#include "support/files.h"
#include "support/service_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tw::test {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Pairs = std::vector<std::pair<std::string, std::string>>;

inline std::string nodeAt(const std::string& id) {
    return "/api/v1/nodes/" + id;
}
inline std::string openUrl(Api& api, const std::string& id) {
    return api.postEmpty(nodeAt(id) + "/open").json()["url"];
}
// "409 name_conflict": one comparison checks the status and the error code.
inline std::string said(const ServiceReply& reply) {
    return std::to_string(reply.status) + " " + reply.error();
}
// The members `keys` of `record`, in order, as one array.
inline Json pick(const Json& record, std::initializer_list<const char*> keys) {
    Json values = Json::array();
    for (const char* key : keys)
        values.push_back(record.value(key, Json()));
    return values;
}

class LocalService : public ::testing::Test {
protected:
    InProcessServer server;
    Api api = server.api();
};

// A TCP connection to `base` from address `from` (port 0 picks one) on the loopback network.
struct RawConnection {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    explicit RawConnection(const char* from, int fromPort = 0) {
        sockaddr_in local{AF_INET, htons(static_cast<std::uint16_t>(fromPort)), {}, {}};
        inet_pton(AF_INET, from, &local.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    ~RawConnection() { close(fd); }
    int port() const {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
        return ntohs(local.sin_port);
    }
    bool connectTo(const std::string& base, const std::string& firstBytes) {
        auto port = static_cast<std::uint16_t>(std::stoi(base.substr(base.rfind(':') + 1)));
        sockaddr_in server{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) return false;
        send(firstBytes);
        return true;
    }
    void send(const std::string& text) { (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    // What arrives within `seconds`, until `wanted` bytes or until the peer closes (`closed` says so).
    std::string receive(double seconds, std::size_t wanted, bool* closed = nullptr) {
        std::string got;
        char buffer[65536];
        for (auto began = std::chrono::steady_clock::now();
             got.size() < wanted && secondsSince(began) < seconds;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                if (closed) *closed = true;
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
};

}  // namespace tw::test

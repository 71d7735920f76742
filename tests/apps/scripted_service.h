#pragma once
// The recording loopback server (support/test_server.h) as a service that answers scripted JSON bodies,
// for the end-to-end tests of replies the local service never gives.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tw::test {

class TestServer;

class ScriptedService {
public:
    ScriptedService();
    ~ScriptedService();

    std::string base() const;
    // Answers requests whose path is `path` with these JSON bodies and `status`, in order; the last one
    // repeats.
    void script(const std::string& path, const std::vector<std::string>& bodies, int status = 200);
    std::size_t requestCount() const;

private:
    std::unique_ptr<TestServer> server_;
};

}  // namespace tw::test

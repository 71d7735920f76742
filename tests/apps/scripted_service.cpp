#include "scripted_service.h"

#include "support/test_server.h"

namespace tw::test {

ScriptedService::ScriptedService() : server_(std::make_unique<TestServer>()) {}
ScriptedService::~ScriptedService() = default;

std::string ScriptedService::base() const {
    return server_->base();
}

void ScriptedService::script(const std::string& path, const std::vector<std::string>& bodies, int status) {
    std::vector<Reply> replies;
    for (const auto& body : bodies)
        replies.push_back({status, {{"Content-Type", "application/json"}}, body});
    server_->script(path, std::move(replies));
}

std::size_t ScriptedService::requestCount() const {
    return server_->requests().size();
}

}  // namespace tw::test

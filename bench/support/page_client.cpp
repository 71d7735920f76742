#include "support/page_client.h"

namespace tw::bench {

http::DataReply PageTransport::perform(const http::Request& request, std::string_view) {
    http::DataReply reply;
    reply.response.status = 200;
    reply.response.url = request.url;
    reply.response.headers = {{"Content-Type", "application/json"}};
    reply.body = pages_[next_];
    next_ = (next_ + 1) % pages_.size();
    return reply;
}

std::shared_ptr<FileProviderExtension> substituteExtension(std::shared_ptr<http::Transport> transport) {
    const nlohmann::json userInfo = {{"base", "http://bench.invalid"}, {"token", "bench-token"}};
    return FileProviderExtension::make({"bench", "Bench", userInfo}, {std::move(transport)});
}

void CountingObserver::finishEnumeratingUpToPage(std::optional<host::Page> nextPage) {
    finished_.set_value(std::move(nextPage));
}

void CountingObserver::finishEnumeratingWithError(Error error) {
    finished_.set_exception(std::make_exception_ptr(std::move(error)));
}

void CountingChangeObserver::finishEnumeratingChanges(host::SyncAnchor anchor, bool moreComing) {
    finished_.set_value({std::move(anchor), moreComing});
}

void CountingChangeObserver::finishEnumeratingWithError(Error error) {
    finished_.set_exception(std::make_exception_ptr(std::move(error)));
}

}  // namespace tw::bench

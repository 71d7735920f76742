#include "support/page_client.h"

#include "enumeration/items.h"
#include "platform/text.h"
#include "remote/fp_error.h"

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

std::shared_ptr<const Remote> substituteRemote(std::shared_ptr<http::Transport> transport) {
    return std::make_shared<const Remote>(
        Config("http://bench.invalid", "bench-token", "", std::nullopt),
        std::vector<std::shared_ptr<http::Transport>>{std::move(transport)});
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

void folderPage(const Remote& remote, const std::optional<std::string>& parent, const host::Page& page,
                host::EnumerationObserver& observer) {
    Listing listing;
    try {
        std::optional<std::string> cursor;
        if (!host::isInitialPage(page)) cursor = decodeUTF8Lossy(page);
        listing = remote.list(parent, cursor);
    } catch (...) {
        return observer.finishEnumeratingWithError(fpError(std::current_exception()));
    }
    observer.didEnumerateItems(itemsFor(std::move(listing.items)));
    observer.finishEnumeratingUpToPage(std::move(listing.nextCursor));
}

Task startFolderPage(std::shared_ptr<const Remote> remote, std::optional<std::string> parent, host::Page page,
                     std::shared_ptr<host::EnumerationObserver> observer) {
    return Task::start([remote = std::move(remote), parent = std::move(parent), page = std::move(page),
                        observer = std::move(observer)] { folderPage(*remote, parent, page, *observer); });
}

}  // namespace tw::bench

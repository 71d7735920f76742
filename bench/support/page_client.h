#pragma once
// The client side of enumeration pages without the network: an extension whose Remote is served by a
// substitute transport replaying page bytes, and observers that count what they are given. The pages go
// through the extension's own enumerators, so what is measured is what a host gets.

#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/enumeration.h"
#include "platform/http/session.h"
#include "provider/extension.h"

namespace tw::bench {

// Answers every request with status 200 and the next of its pages, round and round. The body is a fresh
// copy each time, as a reply read from a socket would be. Safe from one thread at a time.
class PageTransport : public http::Transport {
public:
    explicit PageTransport(std::vector<std::string> pages) : pages_(std::move(pages)) {}
    bool canHandle(const http::Request&) const override { return true; }
    http::DataReply perform(const http::Request& request, std::string_view body) override;

private:
    std::vector<std::string> pages_;
    std::size_t next_ = 0;
};

// An extension configured for an address that is never reached, every request served by `transport`.
std::shared_ptr<FileProviderExtension> substituteExtension(std::shared_ptr<http::Transport> transport);

// Counts the items of one page and keeps nothing else, as a host would that only counts. One per page.
class CountingObserver : public host::EnumerationObserver {
public:
    void didEnumerateItems(std::vector<host::ItemPointer> items) override { count_ += items.size(); }
    void finishEnumeratingUpToPage(std::optional<host::Page> nextPage) override;
    void finishEnumeratingWithError(Error error) override;

    // Waits for the finishing call: the next page (absent at the end); throws the error it carried.
    std::optional<host::Page> wait() { return finished_.get_future().get(); }
    // Items counted; read after wait().
    std::int64_t count() const { return count_; }

private:
    std::int64_t count_ = 0;
    std::promise<std::optional<host::Page>> finished_;
};

// The same for one batch of changes.
class CountingChangeObserver : public host::ChangeObserver {
public:
    struct Batch {
        host::SyncAnchor anchor;
        bool moreComing = false;
    };

    void didUpdateItems(std::vector<host::ItemPointer> items) override { count_ += items.size(); }
    void didDeleteItems(std::vector<host::ItemIdentifier> identifiers) override {
        count_ += identifiers.size();
    }
    void finishEnumeratingChanges(host::SyncAnchor anchor, bool moreComing) override;
    void finishEnumeratingWithError(Error error) override;

    Batch wait() { return finished_.get_future().get(); }
    std::int64_t count() const { return count_; }

private:
    std::int64_t count_ = 0;
    std::promise<Batch> finished_;
};

}  // namespace tw::bench

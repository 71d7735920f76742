#include "enumeration/working_set_enumerator.h"

#include <algorithm>
#include <charconv>

#include "enumeration/items.h"
#include "platform/task/task.h"
#include "provider/remote_access.h"

namespace tw {

std::int64_t seqOf(const host::SyncAnchor& anchor) {
    // Invalid UTF-8 could only turn into characters other than a sign or a digit, so the bytes are read
    // directly: the result is the same as parsing their lossy decoding.
    std::string_view text = anchor;
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    // Parse with the sign so that the most negative value fits. The digits are appended to the sign rather
    // than the sign prepended: GCC 12 at -O3 warns (falsely) on the prepending.
    std::string signedText(negative ? "-" : "");
    signedText += text;
    std::int64_t value = 0;
    const auto [end, error] =
        std::from_chars(signedText.data(), signedText.data() + signedText.size(), value);
    if (error != std::errc() || end != signedText.data() + signedText.size()) return 0;
    return value;
}

host::SyncAnchor anchorFor(std::int64_t position) {
    return std::to_string(position);
}

void WorkingSetEnumerator::enumerateItems(std::shared_ptr<host::EnumerationObserver> observer,
                                          host::Page page) {
    const std::int64_t since = host::isInitialPage(page) ? 0 : seqOf(page);
    ext_->run(failWith(observer), [ext = ext_, observer, since]() -> FileProviderExtension::Finish {
        Changes changes = remoteOf(*ext)->changes(since, pageLimit);
        observer->didEnumerateItems(itemsFor(std::move(changes.changes)));
        std::optional<host::Page> next;
        if (changes.hasMore) next = anchorFor(changes.cursor);
        return [observer, next = std::move(next)] { observer->finishEnumeratingUpToPage(next); };
    });
}

void WorkingSetEnumerator::enumerateChanges(std::shared_ptr<host::ChangeObserver> observer,
                                            host::SyncAnchor anchor) {
    const std::int64_t since = seqOf(anchor);
    ext_->run(failWith(observer), [ext = ext_, observer, since]() -> FileProviderExtension::Finish {
        Changes changes = remoteOf(*ext)->changes(since, pageLimit);
        const std::size_t count = changes.changes.size();
        if (count > 0) observer->didUpdateItems(itemsFor(std::move(changes.changes)));
        log().info("changes since=" + std::to_string(since) + " n=" + std::to_string(count) +
                   " more=" + (changes.hasMore ? "true" : "false"));
        // At the end of a batch the anchor never falls below the position it started from.
        const std::int64_t position = changes.hasMore ? changes.cursor : std::max(changes.cursor, since);
        return [observer, anchor = anchorFor(position), more = changes.hasMore] {
            observer->finishEnumeratingChanges(anchor, more);
        };
    });
}

void WorkingSetEnumerator::currentSyncAnchor(
    std::function<void(std::optional<host::SyncAnchor>)> completionHandler) {
    Task::start([ext = ext_, completionHandler = std::move(completionHandler)] {
        std::optional<host::SyncAnchor> anchor;
        try {
            if (ext->isConfigured()) anchor = anchorFor(remoteOf(*ext)->changes(latestProbe, 1).latest);
        } catch (...) {
            // No anchor is the whole answer: the host asks again later.
        }
        completionHandler(std::move(anchor));
    });
}

}  // namespace tw

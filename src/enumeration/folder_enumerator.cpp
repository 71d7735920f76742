#include "enumeration/folder_enumerator.h"

#include "enumeration/items.h"
#include "platform/task/task.h"
#include "platform/text.h"
#include "provider/item.h"
#include "remote/fp_error.h"

namespace tw {

std::vector<host::ItemPointer> itemsFor(std::vector<Node> nodes) {
    std::vector<host::ItemPointer> items;
    items.reserve(nodes.size());
    for (Node& node : nodes)
        items.push_back(std::make_shared<Item>(std::move(node)));
    return items;
}

void FolderEnumerator::enumerateItems(std::shared_ptr<host::EnumerationObserver> observer, host::Page page) {
    Task::start([ext = ext_, parent = parent_, observer = std::move(observer), page = std::move(page)] {
        Listing listing;
        try {
            std::optional<std::string> cursor;
            if (!host::isInitialPage(page)) cursor = decodeUTF8Lossy(page);
            listing = ext->api()->list(parent, cursor);
        } catch (...) {
            return observer->finishEnumeratingWithError(fpError(std::current_exception()));
        }
        observer->didEnumerateItems(itemsFor(std::move(listing.items)));
        observer->finishEnumeratingUpToPage(std::move(listing.nextCursor));  // an empty cursor is a page too
    });
}

void TrashEnumerator::enumerateItems(std::shared_ptr<host::EnumerationObserver> observer, host::Page) {
    Task::start([ext = ext_, observer = std::move(observer)] {
        std::vector<Node> nodes;
        try {
            nodes = ext->api()->trash();
        } catch (...) {
            return observer->finishEnumeratingWithError(fpError(std::current_exception()));
        }
        observer->didEnumerateItems(itemsFor(std::move(nodes)));
        observer->finishEnumeratingUpToPage(std::nullopt);
    });
}

void ContainerEnumerator::enumerateChanges(std::shared_ptr<host::ChangeObserver> observer,
                                           host::SyncAnchor anchor) {
    observer->finishEnumeratingChanges(std::move(anchor), false);
}

void ContainerEnumerator::currentSyncAnchor(
    std::function<void(std::optional<host::SyncAnchor>)> completionHandler) {
    completionHandler(host::SyncAnchor("0"));
}

}  // namespace tw

#include "enumeration/folder_enumerator.h"

#include "enumeration/items.h"
#include "platform/text.h"
#include "provider/item.h"
#include "provider/remote_access.h"

namespace tw {

std::vector<host::ItemPointer> itemsFor(std::vector<Node> nodes) {
    std::vector<host::ItemPointer> items;
    items.reserve(nodes.size());
    for (Node& node : nodes)
        items.push_back(std::make_shared<Item>(std::move(node)));
    return items;
}

void FolderEnumerator::enumerateItems(std::shared_ptr<host::EnumerationObserver> observer, host::Page page) {
    ext_->run(failWith(observer), body(observer, std::move(page)));
}

void FolderEnumerator::enumeratePage(std::shared_ptr<host::EnumerationObserver> observer,
                                     host::Page page) const {
    FileProviderExtension::perform(failWith(observer), body(observer, std::move(page)));
}

FileProviderExtension::Body FolderEnumerator::body(std::shared_ptr<host::EnumerationObserver> observer,
                                                   host::Page page) const {
    return [ext = ext_, parent = parent_, observer = std::move(observer),
            page = std::move(page)]() -> FileProviderExtension::Finish {
        std::optional<std::string> cursor;
        if (!host::isInitialPage(page)) cursor = decodeUTF8Lossy(page);
        Listing listing = remoteOf(*ext)->list(parent, cursor);
        observer->didEnumerateItems(itemsFor(std::move(listing.items)));
        // An empty cursor is a page too.
        return
            [observer, next = std::move(listing.nextCursor)] { observer->finishEnumeratingUpToPage(next); };
    };
}

void TrashEnumerator::enumerateItems(std::shared_ptr<host::EnumerationObserver> observer, host::Page) {
    ext_->run(failWith(observer), [ext = ext_, observer]() -> FileProviderExtension::Finish {
        observer->didEnumerateItems(itemsFor(remoteOf(*ext)->trash()));
        return [observer] { observer->finishEnumeratingUpToPage(std::nullopt); };
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

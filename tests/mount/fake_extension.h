#pragma once
// A stand-in of the extension for the mount's parts that run without a mount (catalog, trash view, change
// tracker): folder listings answered from a map, the working set's change batches from a script. It answers
// on the calling thread, before the call returns, as an extension may. Thread-safe.

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "mount/item_catalog.h"
#include "mount/item_record.h"
#include "platform/error.h"
#include "platform/host/host.h"

namespace tw::mount::test {

inline host::ItemPointer itemOf(const ItemRecord& record) {
    return itemFor(record);
}

// A file record: `identifier` named `name` in `parent`, created at `created` seconds, of content version
// `contents`.
inline ItemRecord fileRecord(const std::string& identifier, const std::string& parent,
                             const std::string& name, double created = 1, const std::string& contents = "c1",
                             std::int64_t size = 10) {
    return ItemRecord{.identifier = identifier,
                      .parent = parent,
                      .name = name,
                      .isFolder = false,
                      .size = size,
                      .created = host::Date{created},
                      .modified = host::Date{created},
                      .version = {contents, "m1"}};
}

inline ItemRecord folderRecord(const std::string& identifier, const std::string& parent,
                               const std::string& name, double created = 1) {
    auto record = fileRecord(identifier, parent, name, created, "", 0);
    record.isFolder = true;
    return record;
}

// One change batch from the given updates and deletions.
inline ChangeBatch batchOf(const std::vector<ItemRecord>& updated,
                           std::vector<host::ItemIdentifier> deleted = {}, host::SyncAnchor anchor = "2") {
    ChangeBatch batch;
    for (const auto& record : updated)
        batch.updated.push_back(itemOf(record));
    batch.deleted = std::move(deleted);
    batch.anchor = std::move(anchor);
    return batch;
}

// A deadline no test reaches.
inline Deadline later() {
    return std::chrono::steady_clock::now() + std::chrono::seconds(5);
}

// The names `folder` shows, each with its item; a name shown twice fails the test.
inline std::map<std::string, ItemCatalog::Id> shownNames(ItemCatalog& catalog,
                                                         const ItemCatalog::Id& folder) {
    std::map<std::string, ItemCatalog::Id> names;
    for (const auto& child : catalog.children(folder, later()))
        EXPECT_TRUE(names.emplace(child.name, child.identifier).second) << "twice: " << child.name;
    return names;
}

class FakeExtension : public host::ReplicatedExtension {
public:
    // What enumerating `container` lists from now on, in this order (one page).
    void setChildren(const host::ItemIdentifier& container, std::vector<ItemRecord> children) {
        std::scoped_lock lock(mutex_);
        children_[container] = std::move(children);
    }
    // Called (on the enumerating thread, no lock held) each time a container is enumerated, before it
    // answers.
    void onListing(std::function<void(const host::ItemIdentifier&)> hook) {
        std::scoped_lock lock(mutex_);
        onListing_ = std::move(hook);
    }
    // How many times `container` was enumerated.
    int listings(const host::ItemIdentifier& container) const {
        std::scoped_lock lock(mutex_);
        const auto count = listings_.find(container);
        return count == listings_.end() ? 0 : count->second;
    }

    // The working set's answers to the next change requests, in order: a batch, or an error. When none is
    // left, it answers with no change at the anchor it was asked from.
    void queueChanges(std::variant<ChangeBatch, Error> answer) {
        std::scoped_lock lock(mutex_);
        changes_.push_back(std::move(answer));
    }
    // The anchors change requests were made from, in order.
    std::vector<host::SyncAnchor> changeRequests() const {
        std::scoped_lock lock(mutex_);
        return requests_;
    }
    void setCurrentAnchor(std::optional<host::SyncAnchor> anchor) {
        std::scoped_lock lock(mutex_);
        currentAnchor_ = std::move(anchor);
    }

    std::shared_ptr<host::Enumerator> enumerator(const host::ItemIdentifier& container,
                                                 const host::Request&) override {
        return std::make_shared<Enumerator>(*this, container);
    }

    // Nothing below is asked of it by the parts under test.
    std::shared_ptr<Progress> item(const host::ItemIdentifier&, const host::Request&,
                                   host::ItemCompletion completion) override {
        completion(nullptr, fileProviderError(FileProviderErrorCode::noSuchItem));
        return std::make_shared<Progress>();
    }
    std::shared_ptr<Progress> fetchContents(const host::ItemIdentifier&,
                                            const std::optional<host::ItemVersion>&, const host::Request&,
                                            host::FetchCompletion completion) override {
        completion(std::nullopt, nullptr, fileProviderError(FileProviderErrorCode::noSuchItem));
        return std::make_shared<Progress>();
    }
    std::shared_ptr<Progress> fetchPartialContents(const host::ItemIdentifier&, const host::ItemVersion&,
                                                   const host::Request&, host::ByteRange, std::int64_t,
                                                   host::FetchContentsOptions,
                                                   host::PartialFetchCompletion completion) override {
        completion(std::nullopt, nullptr, {}, 0, fileProviderError(FileProviderErrorCode::noSuchItem));
        return std::make_shared<Progress>();
    }
    std::shared_ptr<Progress> createItem(host::ItemPointer, host::ItemFieldSet,
                                         std::optional<std::filesystem::path>, std::uint64_t,
                                         const host::Request&,
                                         host::ItemChangeCompletion completion) override {
        completion(nullptr, 0, false, fileProviderError(FileProviderErrorCode::cannotSynchronize));
        return std::make_shared<Progress>();
    }
    std::shared_ptr<Progress> modifyItem(host::ItemPointer, const host::ItemVersion&, host::ItemFieldSet,
                                         std::optional<std::filesystem::path>, std::uint64_t,
                                         const host::Request&,
                                         host::ItemChangeCompletion completion) override {
        completion(nullptr, 0, false, fileProviderError(FileProviderErrorCode::cannotSynchronize));
        return std::make_shared<Progress>();
    }
    std::shared_ptr<Progress> deleteItem(const host::ItemIdentifier&, const host::ItemVersion&, std::uint64_t,
                                         const host::Request&, host::DeleteCompletion completion) override {
        completion(fileProviderError(FileProviderErrorCode::cannotSynchronize));
        return std::make_shared<Progress>();
    }
    void invalidate() override {}

private:
    class Enumerator : public host::Enumerator {
    public:
        Enumerator(FakeExtension& extension, host::ItemIdentifier container)
            : extension_(extension), container_(std::move(container)) {}
        void enumerateItems(std::shared_ptr<host::EnumerationObserver> observer, host::Page) override {
            std::function<void(const host::ItemIdentifier&)> hook;
            {
                std::scoped_lock lock(extension_.mutex_);
                hook = extension_.onListing_;
            }
            if (hook) hook(container_);
            std::vector<host::ItemPointer> items;
            {
                std::scoped_lock lock(extension_.mutex_);
                ++extension_.listings_[container_];
                for (const auto& record : extension_.children_[container_])
                    items.push_back(itemOf(record));
            }
            observer->didEnumerateItems(std::move(items));
            observer->finishEnumeratingUpToPage(std::nullopt);
        }
        void enumerateChanges(std::shared_ptr<host::ChangeObserver> observer,
                              host::SyncAnchor anchor) override {
            std::optional<std::variant<ChangeBatch, Error>> answer;
            {
                std::scoped_lock lock(extension_.mutex_);
                extension_.requests_.push_back(anchor);
                if (!extension_.changes_.empty()) {
                    answer = std::move(extension_.changes_.front());
                    extension_.changes_.pop_front();
                }
            }
            if (!answer) return observer->finishEnumeratingChanges(anchor, false);
            if (const auto* error = std::get_if<Error>(&*answer))
                return observer->finishEnumeratingWithError(*error);
            auto& batch = std::get<ChangeBatch>(*answer);
            if (!batch.updated.empty()) observer->didUpdateItems(batch.updated);
            if (!batch.deleted.empty()) observer->didDeleteItems(batch.deleted);
            observer->finishEnumeratingChanges(batch.anchor, batch.moreComing);
        }
        void currentSyncAnchor(std::function<void(std::optional<host::SyncAnchor>)> completion) override {
            std::optional<host::SyncAnchor> anchor;
            {
                std::scoped_lock lock(extension_.mutex_);
                anchor = extension_.currentAnchor_;
            }
            completion(anchor);
        }
        void invalidate() override {}

    private:
        FakeExtension& extension_;
        host::ItemIdentifier container_;
    };

    mutable std::mutex mutex_;
    std::map<host::ItemIdentifier, std::vector<ItemRecord>> children_;
    std::map<host::ItemIdentifier, int> listings_;
    std::deque<std::variant<ChangeBatch, Error>> changes_;
    std::vector<host::SyncAnchor> requests_;
    std::optional<host::SyncAnchor> currentAnchor_ = "1";
    std::function<void(const host::ItemIdentifier&)> onListing_;
};

}  // namespace tw::mount::test

#pragma once
// Enumerators of a folder's children and of the trash. Neither reports changes of its own (their anchor
// is the constant "0"): the host learns of changes through the working set.

#include <memory>
#include <optional>
#include <string>

#include "platform/host/enumeration.h"
#include "provider/extension.h"

namespace tw {

// What folder and trash enumerators share: the constant anchor "0", and change batches answered at once,
// before returning, with the anchor they were asked from and nothing in them.
class ContainerEnumerator : public host::Enumerator {
public:
    void enumerateChanges(std::shared_ptr<host::ChangeObserver> observer, host::SyncAnchor anchor) override;
    void currentSyncAnchor(std::function<void(std::optional<host::SyncAnchor>)> completionHandler) override;
    void invalidate() override {}

protected:
    explicit ContainerEnumerator(std::shared_ptr<const FileProviderExtension> ext) : ext_(std::move(ext)) {}
    std::shared_ptr<const FileProviderExtension> ext_;
};

// Pages through one folder on the service, 500 children a page. A page other than the two initial ones
// is the service's cursor, handed out and read back as the service gave it.
class FolderEnumerator : public ContainerEnumerator {
public:
    // `parent` absent: the root container.
    FolderEnumerator(std::shared_ptr<const FileProviderExtension> ext, std::optional<std::string> parent)
        : ContainerEnumerator(std::move(ext)), parent_(std::move(parent)) {}

    void enumerateItems(std::shared_ptr<host::EnumerationObserver> observer, host::Page page) override;
    // The work of one enumerateItems call, done on the calling thread instead of a task of its own: for a
    // host that already runs the call on a thread of its choice, and to measure the page alone.
    void enumeratePage(std::shared_ptr<host::EnumerationObserver> observer, host::Page page) const;

private:
    FileProviderExtension::Body body(std::shared_ptr<host::EnumerationObserver> observer,
                                     host::Page page) const;

    std::optional<std::string> parent_;
};

// Lists the whole trash as one page, whatever page it is asked for.
class TrashEnumerator : public ContainerEnumerator {
public:
    explicit TrashEnumerator(std::shared_ptr<const FileProviderExtension> ext)
        : ContainerEnumerator(std::move(ext)) {}

    void enumerateItems(std::shared_ptr<host::EnumerationObserver> observer, host::Page page) override;
};

}  // namespace tw

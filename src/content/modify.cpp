// modifyItem: a local change applied to the service in a fixed order, each request carrying the version
// the service returned last within the same call.
#include <algorithm>

#include "platform/text.h"
#include "provider/extension.h"
#include "provider/item.h"
#include "remote/remote.h"

namespace tw {

std::shared_ptr<Progress> FileProviderExtension::modifyItem(host::ItemPointer item,
                                                            const host::ItemVersion& baseVersion,
                                                            host::ItemFieldSet changedFields,
                                                            std::optional<std::filesystem::path> contents,
                                                            std::uint64_t, const host::Request&,
                                                            host::ItemChangeCompletion completionHandler) {
    auto progress = Progress::make(1);
    // The service's "rev" as the host last saw it ("-" when the node had none).
    std::string baseRevision = decodeUTF8Lossy(baseVersion.contentVersion);
    return run(
        progress,
        [completionHandler](Error error) { completionHandler(nullptr, 0, false, std::move(error)); },
        [this, item, baseRevision = std::move(baseRevision), changedFields, contents, progress,
         completionHandler]() -> Finish {
            const auto remote = api();
            const std::string id = item->itemIdentifier();
            Node cur = remote->node(id, /*includeTrashed=*/true);
            bool shouldFetchContent = false;
            const auto answer = [&]() -> Finish {
                return [completionHandler, answered = std::make_shared<Item>(cur), shouldFetchContent] {
                    completionHandler(answered, 0, shouldFetchContent, std::nullopt);
                };
            };

            const bool parentChanged = (changedFields & host::parentItemIdentifierField) != 0;
            if (parentChanged && canonicallyEqual(item->parentItemIdentifier(), host::trashContainer)) {
                // Nothing else of this call is applied: the host sends what remains once it is out again.
                if (!cur.deleted) {
                    remote->trashNode(id, cur.version);
                    cur = remote->node(id, /*includeTrashed=*/true);
                }
                return answer();
            }

            // Any change to a node in the service's trash brings it back first.
            if (cur.deleted) cur = remote->restore(id);

            if ((changedFields & host::contentsField) && !cur.isFolder()) {
                const auto file = contents ? *contents : emptyFile();
                const std::int64_t size = sizeOf(file);
                progress->setTotalUnitCount(std::max<std::int64_t>(size, 1));
                const bool overwrite = !cur.rev || baseRevision.empty() || baseRevision == "-" ||
                                       canonicallyEqual(baseRevision, *cur.rev);
                if (overwrite) {
                    cur = remote->upload(file, size, cur.name, cur.parent, Remote::mimeType(cur.name),
                                         Replace{cur.id, cur.version}, "fail", progress);
                } else {
                    // The service's contents changed since the host's: both are kept, the local ones beside
                    // them under a dated name, and the host fetches the service's again.
                    remote->upload(file, size, conflictName(cur.name), cur.parent, Remote::mimeType(cur.name),
                                   std::nullopt, "rename", progress);
                    shouldFetchContent = true;
                }
            }

            std::optional<std::string> newName;
            if ((changedFields & host::filenameField) && !canonicallyEqual(item->filename(), cur.name))
                newName = item->filename();
            // Absent: unchanged; holding none: the top level; holding an id: that folder.
            std::optional<std::optional<std::string>> newParent;
            if (parentChanged) {
                const auto target = parentId(item->parentItemIdentifier());
                const bool same =
                    target && cur.parent ? canonicallyEqual(*target, *cur.parent) : !target && !cur.parent;
                if (!same) newParent = target;
            }
            if (!newName && !newParent) return answer();
            try {
                cur = remote->patch(id, newName, newParent, cur.version);
            } catch (const RemoteError& error) {
                if (error.status() == 409 && error.code() == "name_conflict") throw collision(error);
                throw;
            }
            return answer();
        });
}

}  // namespace tw

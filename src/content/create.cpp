// createItem: a folder made or a file uploaded after the host's template, and the name conflicts that the
// host allows to resolve.
#include <algorithm>

#include "provider/extension.h"
#include "provider/item.h"
#include "remote/remote.h"

namespace tw {

std::shared_ptr<Progress> FileProviderExtension::createItem(host::ItemPointer itemTemplate,
                                                            host::ItemFieldSet,
                                                            std::optional<std::filesystem::path> contents,
                                                            std::uint64_t options, const host::Request&,
                                                            host::ItemChangeCompletion completionHandler) {
    if (excluded(*itemTemplate)) {
        completionHandler(nullptr, 0, false, fileProviderError(FileProviderErrorCode::excludedFromSync));
        return Progress::make();
    }
    auto progress = Progress::make(1);
    return run(
        progress,
        [completionHandler](Error error) { completionHandler(nullptr, 0, false, std::move(error)); },
        [this, itemTemplate, contents, options, progress, completionHandler]() -> Finish {
            const auto remote = api();
            const auto parent = parentId(itemTemplate->parentItemIdentifier());
            const std::string name = itemTemplate->filename();
            const auto type = itemTemplate->contentType();
            const bool folder = isFolder(type);
            const auto answer = [completionHandler](Node node) -> Finish {
                return [completionHandler, item = std::make_shared<Item>(std::move(node))] {
                    completionHandler(item, 0, false, std::nullopt);
                };
            };

            try {
                if (folder) return answer(remote->createFolder(name, parent));
                const auto file = contents ? *contents : emptyFile();
                const std::int64_t size = sizeOf(file);
                progress->setTotalUnitCount(std::max<std::int64_t>(size, 1));
                return answer(remote->upload(file, size, name, parent, Remote::mimeType(name), std::nullopt,
                                             "fail", progress));
            } catch (const RemoteError& error) {
                if (error.status() != 409 || error.code() != "name_conflict") throw;
                const auto existingId = existingIdOf(error);
                if (!(options & host::mayAlreadyExist) || !existingId) throw collision(error);

                const Node existing = remote->node(*existingId, /*includeTrashed=*/true);
                if (existing.isFolder() != folder) throw collision(error);
                if (folder) return answer(existing);
                const auto file = contents ? *contents : emptyFile();
                return answer(remote->upload(file, sizeOf(file), name, parent, Remote::mimeType(name),
                                             Replace{existing.id, existing.version}, "fail", progress));
            }
        });
}

}  // namespace tw

// The extension's enumerator factory: one enumerator kind per container.
#include "enumeration/folder_enumerator.h"
#include "enumeration/working_set_enumerator.h"
#include "provider/extension.h"

namespace tw {

std::shared_ptr<host::Enumerator> FileProviderExtension::enumerator(
    const host::ItemIdentifier& containerIdentifier, const host::Request&) {
    auto self = shared_from_this();
    if (containerIdentifier == host::rootContainer)
        return std::make_shared<FolderEnumerator>(self, std::nullopt);
    if (containerIdentifier == host::workingSet) return std::make_shared<WorkingSetEnumerator>(self);
    if (containerIdentifier == host::trashContainer) return std::make_shared<TrashEnumerator>(self);
    return std::make_shared<FolderEnumerator>(self, containerIdentifier);
}

}  // namespace tw

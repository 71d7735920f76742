// deleteItem: to the service's trash, or out of it for good.
#include "provider/extension.h"
#include "remote/remote.h"

namespace tw {

std::shared_ptr<Progress> FileProviderExtension::deleteItem(const host::ItemIdentifier& identifier,
                                                            const host::ItemVersion&, std::uint64_t,
                                                            const host::Request&,
                                                            host::DeleteCompletion completionHandler) {
    return run(
        Progress::make(1), [completionHandler](Error error) { completionHandler(std::move(error)); },
        [this, identifier, completionHandler]() -> Finish {
            const auto remote = api();
            try {
                const Node node = remote->node(identifier, /*includeTrashed=*/true);
                if (node.deleted)
                    remote->purge(identifier);
                else
                    remote->trashNode(identifier, node.version);
            } catch (const RemoteError& error) {
                // A node the service does not know (any more) is as deleted as the host wants it.
                if (error.status() != 404) throw;
            }
            return [completionHandler] { completionHandler(std::nullopt); };
        });
}

}  // namespace tw

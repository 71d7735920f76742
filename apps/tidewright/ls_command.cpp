// tidewright ls [CONTAINER] — every page of a container, one item a line.
#include "commands.h"
#include "observers.h"

namespace tw::cli {

void addLsCommand(CLI::App& app, Action* chosen) {
    auto word = std::make_shared<std::string>("root");
    auto* command =
        app.add_subcommand("ls", "List a container page by page (root, trash, working-set or a folder id)");
    command->add_option("CONTAINER", *word, "root (default), trash, working-set, or a folder's identifier");
    command->callback([chosen, word] {
        *chosen = [word](CliHost& host) {
            const auto container = CliHost::containerFor(*word);
            auto enumerator = host.extension().enumerator(container, host::Request{});
            PageTrail trail(/*feedPositions=*/container == host::workingSet);
            host::Page page = host::initialPageSortedByName;
            for (;;) {
                auto observer = std::make_shared<PageObserver>();
                enumerator->enumerateItems(observer, page);
                PageResult result = observer->wait();
                for (const auto& item : result.items)
                    host.printItem(*item);
                if (!result.nextPage) break;
                trail.follow(*result.nextPage);
                page = std::move(*result.nextPage);
            }
            enumerator->invalidate();
            return 0;
        };
    });
}

}  // namespace tw::cli

// tidewright ls [CONTAINER] — every page of a container, one item a line.
#include "commands.h"
#include "host_calls/enumeration_calls.h"

namespace tw::cli {

void addLsCommand(CLI::App& app, Action* chosen) {
    auto word = std::make_shared<std::string>("root");
    auto* command =
        app.add_subcommand("ls", "List a container page by page (root, trash, working-set or a folder id)");
    command->add_option("CONTAINER", *word, "root (default), trash, working-set, or a folder's identifier");
    command->callback([chosen, word] {
        *chosen = [word](CliHost& host) {
            auto enumerator = host.extension().enumerator(CliHost::containerFor(*word), host::Request{});
            // Each page is printed as it comes: a long listing shows its first lines at once.
            hostcalls::enumerateAll(*enumerator, host.limits(),
                                    [&host](std::vector<host::ItemPointer> items) {
                                        for (const auto& item : items)
                                            host.printItem(*item);
                                    });
            enumerator->invalidate();
            return 0;
        };
    });
}

}  // namespace tw::cli

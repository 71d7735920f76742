// tidewright changes [--from ANCHOR] — change batches until no more are coming.
#include "commands.h"
#include "host_calls/enumeration_calls.h"

namespace tw::cli {

void addChangesCommand(CLI::App& app, Action* chosen) {
    auto from = std::make_shared<std::string>("0");
    auto* command =
        app.add_subcommand("changes", "Print the working set's changes since an anchor, then the new anchor");
    command->add_option("--from", *from, "anchor to start from")->capture_default_str();
    command->callback([chosen, from] {
        *chosen = [from](CliHost& host) {
            auto enumerator = host.extension().enumerator(host::workingSet, host::Request{});
            const auto anchor = hostcalls::catchUp(*enumerator, *from, host.limits(),
                                                   [&host](const hostcalls::ChangeBatch& batch) {
                                                       for (const auto& item : batch.updated)
                                                           host.printItem(*item);
                                                   });
            host.printAnchor(anchor);
            return 0;
        };
    });
}

}  // namespace tw::cli

// tidewright changes [--from ANCHOR] — change batches until no more are coming.
#include "commands.h"
#include "observers.h"

namespace tw::cli {

void addChangesCommand(CLI::App& app, Action* chosen) {
    auto from = std::make_shared<std::string>("0");
    auto* command =
        app.add_subcommand("changes", "Print the working set's changes since an anchor, then the new anchor");
    command->add_option("--from", *from, "anchor to start from")->capture_default_str();
    command->callback([chosen, from] {
        *chosen = [from](CliHost& host) {
            auto enumerator = host.extension().enumerator(host::workingSet, host::Request{});
            host::SyncAnchor anchor = *from;
            for (;;) {
                ChangeBatch batch = *nextChanges(*enumerator, anchor);
                requireProgress(anchor, batch);
                for (const auto& item : batch.updated)
                    host.printItem(*item);
                anchor = std::move(batch.anchor);
                if (!batch.moreComing) break;
            }
            host.printAnchor(anchor);
            return 0;
        };
    });
}

}  // namespace tw::cli

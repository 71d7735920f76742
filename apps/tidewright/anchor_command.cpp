// tidewright anchor — the working set's current sync anchor.
#include <iostream>

#include "commands.h"
#include "host_calls/enumeration_calls.h"

namespace tw::cli {

void addAnchorCommand(CLI::App& app, Action* chosen) {
    auto* command = app.add_subcommand("anchor", "Show the working set's current sync anchor");
    command->callback([chosen] {
        *chosen = [](CliHost& host) {
            auto enumerator = host.extension().enumerator(host::workingSet, host::Request{});
            const auto anchor = hostcalls::currentAnchor(*enumerator, host.limits());
            if (!anchor) {
                CliHost::printErrorTo(std::cerr,
                                      Error("tidewright", 1, {}, "the working set has no sync anchor now"),
                                      host.json());
                return 1;
            }
            host.printAnchor(*anchor);
            return 0;
        };
    });
}

}  // namespace tw::cli

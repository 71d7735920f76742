// tidewright watch [--from ANCHOR] [--interval SECONDS] — follows the change feed until interrupted.
#include <csignal>
#include <iostream>
#include <thread>

#include "commands.h"
#include "observers.h"

namespace tw::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;

}  // namespace

void addWatchCommand(CLI::App& app, Action* chosen) {
    auto from = std::make_shared<std::string>();
    auto interval = std::make_shared<double>(2.0);
    auto* command = app.add_subcommand("watch", "Print changes as they arrive, until interrupted");
    command->add_option("--from", *from, "anchor to start from (default: the current anchor)");
    command->add_option("--interval", *interval, "seconds between two asks")
        ->check(CLI::Range(0.05, 3600.0))
        ->capture_default_str();
    command->callback([chosen, from, interval] {
        *chosen = [from, interval](CliHost& host) {
            std::signal(SIGINT, [](int) { interrupted = 1; });
            std::signal(SIGTERM, [](int) { interrupted = 1; });
            auto enumerator = host.extension().enumerator(host::workingSet, host::Request{});
            std::optional<host::SyncAnchor> anchor;
            if (!from->empty()) anchor = *from;
            const auto pause = std::chrono::duration<double>(*interval);
            while (!interrupted) {
                std::optional<ChangeBatch> batch;
                try {
                    if (!anchor) {
                        anchor = currentAnchor(*enumerator);
                        if (!anchor)
                            throw Error("tidewright", 1, {}, "the working set has no sync anchor now");
                    }
                    // An interruption ends the watch at once, even while a batch waits out its retries.
                    batch = nextChanges(*enumerator, *anchor, [] { return interrupted != 0; });
                    if (!batch) break;
                } catch (const Error& error) {
                    CliHost::printErrorTo(std::cerr, error, host.json());  // asked again at the next interval
                }
                if (batch) {
                    // A feed that does not advance would not at the next interval either: it ends the watch.
                    requireProgress(*anchor, *batch);
                    for (const auto& item : batch->updated)
                        host.printItem(*item);
                    anchor = std::move(batch->anchor);
                    if (batch->moreComing) continue;
                }
                const auto until = std::chrono::steady_clock::now() + pause;
                while (!interrupted && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            return 0;
        };
    });
}

}  // namespace tw::cli

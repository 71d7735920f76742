// tidewright watch [--from ANCHOR] [--interval SECONDS] — follows the change feed until interrupted.
#include <condition_variable>
#include <iostream>
#include <mutex>

#include "commands.h"
#include "host_calls/enumeration_calls.h"
#include "host_calls/page_trail.h"

namespace tw::cli {

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
            auto enumerator = host.extension().enumerator(host::workingSet, host::Request{});
            std::optional<host::SyncAnchor> anchor;
            if (!from->empty()) anchor = *from;
            const auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::duration<double>(*interval));
            // An interruption is how a watch ends: it gives up the call under way, even one waiting out its
            // retries, and the watch ends with status 0.
            const std::stop_token stop = host.limits().stop;
            while (!stop.stop_requested()) {
                try {
                    if (!anchor) {
                        anchor = hostcalls::currentAnchor(*enumerator, host.limits());
                        if (!anchor)
                            throw Error("tidewright", 1, {}, "the working set has no sync anchor now");
                    }
                    hostcalls::catchUp(*enumerator, *anchor, host.limits(),
                                       [&host, &anchor](const hostcalls::ChangeBatch& batch) {
                                           for (const auto& item : batch.updated)
                                               host.printItem(*item);
                                           anchor = batch.anchor;
                                       });
                } catch (const hostcalls::NoProgress&) {
                    throw;  // a feed that does not advance would not at the next interval either
                } catch (const Error& error) {
                    if (stop.stop_requested()) break;
                    CliHost::printErrorTo(std::cerr, error, host.json());  // asked again at the next interval
                }
                std::mutex mutex;
                std::condition_variable_any never;
                std::unique_lock lock(mutex);
                never.wait_for(lock, stop, pause, [] { return false; });
            }
            return 0;
        };
    });
}

}  // namespace tw::cli

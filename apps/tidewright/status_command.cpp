// tidewright status [--json] [--wait SECONDS] — what the running mount of the domain has not uploaded yet,
// asked on its control channel; without a mount, what its state file holds.
#include <cmath>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "commands.h"
#include "mount/control_channel.h"
#include "mount/state_store.h"
#include "status_text.h"
#include "terminal_text.h"

namespace tw::cli {
namespace {

struct StatusArguments {
    bool json = false;
    std::optional<double> waitSeconds;
};

// The changes the state file of a domain that no mount serves holds; 0 without a state file.
int pendingInStateFile(const std::string& domain) {
    const auto file = mount::stateFolder() / (domain + ".sqlite");
    if (!std::filesystem::exists(file)) return 0;  // not made here: nothing was ever mounted
    mount::StateStore store(file);
    return static_cast<int>(store.pendingChanges().size());
}

const char* serviceText(const mount::MountStatus& status) {
    if (status.offline) return "offline";  // what needs the service fails at once until it answers again
    return status.reachable ? "reachable" : "unreachable";
}

void printText(const mount::MountStatus& status) {
    const int waiting = status.waiting();
    std::cout << (waiting == 0 ? std::string("all uploaded") : changesWaiting(waiting) + " to be uploaded")
              << "\n"
              << "service: " << serviceText(status) << "\n"
              << "last sync: " << (status.lastSync ? clockText(*status.lastSync) : "never") << "\n";
    if (status.cacheLimit > 0)
        std::cout << "cache: " << sizeText(status.cacheBytes) << " of " << sizeText(status.cacheLimit)
                  << " used\n";
    if (const auto& pinned = status.pinned; pinned.pins > 0) {
        std::cout << "pinned: " << pinned.files << (pinned.files == 1 ? " file, " : " files, ")
                  << sizeText(pinned.presentBytes) << " of " << sizeText(pinned.pinnedBytes) << " downloaded"
                  << (pinned.complete ? " (complete)" : " (downloading)");
        if (!pinned.lastError.empty())
            std::cout << " (last failure: " << terminalText(pinned.lastError) << ")";
        std::cout << "\n";
    }
    for (const auto& entry : status.entries) {
        std::cout << mount::nameOf(entry.state) << "  " << terminalText(entry.path);
        if (entry.attempts > 0 || !entry.lastError.empty()) {
            std::cout << " (" << entry.attempts << (entry.attempts == 1 ? " attempt" : " attempts");
            if (!entry.lastError.empty()) std::cout << ": " << terminalText(entry.lastError);
            std::cout << ")";
        }
        std::cout << "\n";
    }
}

void printJson(const nlohmann::ordered_json& object) {
    std::cout << object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
}

int report(const Options& options, const StatusArguments& arguments) {
    // The host only names the configured domain here: nothing is asked of the service.
    CliHost host(options);
    const auto domain = host.extension().domain().identifier;
    std::optional<std::chrono::milliseconds> wait;
    if (arguments.waitSeconds) wait = std::chrono::milliseconds(std::llround(*arguments.waitSeconds * 1000));
    const bool json = options.json || arguments.json;
    const auto answer = mount::requestStatus(domain, wait);
    if (!answer) {
        const int waiting = pendingInStateFile(domain);
        if (json) {
            printJson({{"mounted", false}, {"uploaded", waiting == 0}, {"waiting", waiting}});
        } else {
            std::cout << "not mounted\n";
            if (waiting > 0) std::cout << changesWaiting(waiting) << " to be uploaded\n";
        }
        return waiting == 0 ? 0 : 1;
    }
    if (json) {
        nlohmann::ordered_json object = {{"mounted", true}};
        object.update(mount::statusToJson(answer->status));
        printJson(object);
    } else {
        printText(answer->status);
    }
    return answer->status.allUploaded() ? 0 : 1;
}

}  // namespace

void addStatusCommand(CLI::App& app, StandaloneAction* chosen) {
    auto arguments = std::make_shared<StatusArguments>();
    auto* command = app.add_subcommand(
        "status", "Show what the running mount has not uploaded yet (exit 1 when something waits)");
    command->add_flag("--json", arguments->json, "one JSON object");
    command
        ->add_option("--wait", arguments->waitSeconds,
                     "make the mount upload every pending change now, and wait for that at most SECONDS")
        ->check(CLI::Range(0.0, 1e7));
    command->callback([chosen, arguments] {
        *chosen = [arguments](const Options& options) { return report(options, *arguments); };
    });
}

}  // namespace tw::cli

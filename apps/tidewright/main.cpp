// tidewright: the command-line host of the Tidewright file-provider extension.
#include <malloc.h>

#include <cstdlib>
#include <iostream>
#include <optional>

#include "commands.h"
#include "interrupts.h"
#include "mount/mount.h"

int main(int argc, char** argv) {
    using namespace tw::cli;
    // Ranged reads receive each piece into a buffer of up to 8 MiB. glibc would map every such buffer
    // afresh and unmap it when freed, so each read faults its pages in again, which costs more than the
    // transfer itself (a cat ran at a tenth of a get). Kept in the heap, freed buffers are reused as they
    // are.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    // Each heap keeps its own peak (nothing is trimmed), and glibc gives a thread a heap of its own up to
    // eight per core: the session's I/O threads alone would add four. The host's threads mostly wait on the
    // network, so two heaps serve them (an upload's peak: 48.8 MiB against 49.1-49.3 MiB).
    mallopt(M_ARENA_MAX, 2);
    CLI::App app("Tidewright: drives the file-provider extension of one domain, as a desktop host would.",
                 "tidewright");
    Options options;
    std::string configFile;
    app.add_option("--config", configFile, "domain configuration (JSON with \"base\" and \"token\")");
    app.add_option("--name", options.displayName, "the domain's display name")->capture_default_str();
    app.add_flag("--json", options.json, "one JSON object a line");
    app.add_flag("--verbose", options.verbose, "show the extension's log on stderr");
    app.require_subcommand(1);

    Action action;
    addItemCommand(app, &action);
    addLsCommand(app, &action);
    addAnchorCommand(app, &action);
    addChangesCommand(app, &action);
    addWatchCommand(app, &action);
    addGetCommand(app, &action);
    addReadCommand(app, &action);
    addCatCommand(app, &action);
    addMkdirCommand(app, &action);
    addPutCommand(app, &action);
    addEditCommand(app, &action);
    addMvCommand(app, &action);
    addTrashCommand(app, &action);
    addRestoreCommand(app, &action);
    addRmCommand(app, &action);
    StandaloneAction standalone;
    addPairCommand(app, &standalone);
    addRevokeCommand(app, &standalone);
    addMountCommand(app, &standalone);
    addStatusCommand(app, &standalone);
    addSpacesCommand(app, &standalone);
    addPinCommands(app, &standalone);

    // --space before the command, or among its own options; not on those that need none (a path on a mount
    // names its space).
    const CLI::Validator spaceName(
        [](const std::string& name) {
            return tw::mount::isSpaceName(name)
                       ? std::string()
                       : "a space is named with 1 to 64 letters, digits, '.', '_' or '-', "
                         "the first not a '.'";
        },
        "NAME");
    const char* spaceHelp = "the space (default: default): its configuration, state and cache";
    app.add_option("--space", options.space, spaceHelp)->check(spaceName);
    for (auto* command : app.get_subcommands([](CLI::App*) { return true; }))
        if (const auto& name = command->get_name(); name != "spaces" && name != "pin" && name != "unpin")
            command->add_option("--space", options.space, spaceHelp)->check(spaceName);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        app.exit(error);
        return 2;
    }
    if (!configFile.empty()) options.configFile = configFile;

    int status;
    // A command on the extension is interrupted by giving up its host call, which cleans up after itself;
    // the standalone commands keep the signals' usual effect (the mount handles them itself).
    std::optional<Interrupts> interrupts;
    try {
        if (standalone) {
            status = standalone(options);
        } else {
            interrupts.emplace();
            CliHost host(options, interrupts->token());
            status = action(host);
        }
    } catch (const UsageError& error) {
        std::cerr << "tidewright: " << error.what() << "\n";
        status = 2;
    } catch (...) {
        if (interrupts && interrupts->signal() != 0) {
            status = 128 + interrupts->signal();  // as the signal itself would have ended it, but cleaned up
        } else {
            // A host error, or anything else (a filesystem error, memory exhausted): one error line all the
            // same.
            CliHost::printErrorTo(std::cerr, tw::Error::from(std::current_exception()), options.json);
            status = 1;
        }
    }
    // Output that could not be written (a full disk, a closed file) makes the command a failure.
    if (!std::cout.flush() && status == 0) {
        CliHost::printErrorTo(std::cerr, tw::Error("tidewright", 1, {}, "the output could not be written"),
                              options.json);
        status = 1;
    }
    // A task may still be winding down after it completed its call (releasing the extension, writing to the
    // log); static destructors must not run under it, so the process ends here without them.
    std::cerr.flush();
    std::_Exit(status);
}

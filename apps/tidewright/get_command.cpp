// tidewright get ID DEST [--force] — one whole-file fetch, its file moved to DEST.
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "commands.h"
#include "platform/files.h"
#include "progress_bar.h"

namespace tw::cli {

void addGetCommand(CLI::App& app, Action* chosen) {
    struct Arguments {
        std::string id;
        std::string destination;
        bool force = false;
    };
    auto arguments = std::make_shared<Arguments>();
    auto* command = app.add_subcommand("get", "Download a file's whole contents to DEST");
    addRateOptions(*command);
    command->add_option("ID", arguments->id, "item identifier")->required();
    command->add_option("DEST", arguments->destination, "where the file goes")->required();
    command->add_flag("--force", arguments->force, "replace DEST when it exists");
    command->callback([chosen, arguments] {
        *chosen = [arguments](CliHost& host) {
            const std::filesystem::path destination = arguments->destination;
            std::error_code ignored;
            if (!arguments->force && std::filesystem::symlink_status(destination, ignored).type() !=
                                         std::filesystem::file_type::not_found)
                throw Error("tidewright", 1, {}, destination.string() + " exists (--force replaces it)");
            ProgressBar bar(std::cerr, ::isatty(STDERR_FILENO) == 1);
            hostcalls::Delivered delivered;
            try {
                delivered = host.fetchContents(
                    CliHost::identifierFor(arguments->id),
                    [&bar](const Progress& p) { bar.update(p.completedUnitCount(), p.totalUnitCount()); });
            } catch (...) {
                bar.finish();
                throw;
            }
            bar.finish();
            try {
                moveFile(delivered.file, destination, arguments->force, ".tidewright-move-");
            } catch (...) {
                std::filesystem::remove(delivered.file, ignored);  // the host's file, of no use to anyone now
                throw;
            }
            host.printItem(*delivered.item);
            return 0;
        };
    });
}

}  // namespace tw::cli

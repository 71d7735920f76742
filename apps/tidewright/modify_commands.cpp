// tidewright edit ID FILE [--base-rev REV]; mv ID [--name NAME] [--parent PARENT]; trash ID; restore ID —
// each one modification. The item handed in holds the identifier and only the fields the command changes,
// with only their changed-field bits set; the extension reads the node itself.
#include <unistd.h>

#include <iostream>

#include "commands.h"
#include "local_file.h"
#include "progress_bar.h"

namespace tw::cli {
namespace {

// The identifier of the item a command changes. The containers are no items of the service: the extension
// would look them up, find nothing, and a deletion would count that as done.
host::ItemIdentifier changedItem(const std::string& word) {
    const auto identifier = CliHost::containerFor(word);
    if (identifier == host::rootContainer || identifier == host::trashContainer ||
        identifier == host::workingSet)
        throw UsageError(word + " is a container, not an item that can be changed");
    return identifier;
}

}  // namespace

void addEditCommand(CLI::App& app, Action* chosen) {
    struct Arguments {
        std::string id, file;
        std::optional<std::string> baseRevision;
    };
    auto arguments = std::make_shared<Arguments>();
    auto* command = app.add_subcommand("edit", "Replace a file's contents with FILE");
    command->add_option("ID", arguments->id, "the file's identifier")->required();
    command->add_option("FILE", arguments->file, "the new contents")->required();
    command->add_option("--base-rev", arguments->baseRevision,
                        "the content version the edit was made on (default: the item's current one); "
                        "another than the service's makes a conflicting copy");
    command->callback([chosen, arguments] {
        *chosen = [arguments](CliHost& host) {
            const auto file = regularFile(arguments->file);
            const auto id = changedItem(arguments->id);
            host::ItemVersion base;
            base.contentVersion = arguments->baseRevision ? *arguments->baseRevision
                                                          : host.item(id)->itemVersion().contentVersion;
            ProgressBar bar(std::cerr, ::isatty(STDERR_FILENO) == 1);
            std::pair<host::ItemPointer, bool> changed;
            try {
                changed = host.modifyItem(
                    std::make_shared<CommandItem>(id, "", ""), base, host::contentsField, file,
                    [&bar](const Progress& p) { bar.update(p.completedUnitCount(), p.totalUnitCount()); });
            } catch (...) {
                bar.finish();
                throw;
            }
            bar.finish();
            host.printItem(*changed.first);
            return 0;
        };
    });
}

void addMvCommand(CLI::App& app, Action* chosen) {
    struct Arguments {
        std::string id;
        std::optional<std::string> name, parent;
    };
    auto arguments = std::make_shared<Arguments>();
    auto* command = app.add_subcommand("mv", "Rename an item, move it, or both");
    command->add_option("ID", arguments->id, "the item's identifier")->required();
    command->add_option("--name", arguments->name, "the new name");
    command->add_option("--parent", arguments->parent,
                        "the new parent: a folder's identifier, root or trash");
    command->callback([chosen, arguments] {
        *chosen = [arguments](CliHost& host) {
            if (!arguments->name && !arguments->parent) throw UsageError("mv needs --name, --parent or both");
            host::ItemFieldSet fields = 0;
            if (arguments->name) fields |= host::filenameField;
            if (arguments->parent) fields |= host::parentItemIdentifierField;
            auto item = std::make_shared<CommandItem>(
                changedItem(arguments->id),
                arguments->parent ? CliHost::identifierFor(*arguments->parent) : "",
                arguments->name.value_or(""));
            host.printItem(*host.modifyItem(item, {}, fields, std::nullopt).first);
            return 0;
        };
    });
}

void addTrashCommand(CLI::App& app, Action* chosen) {
    auto id = std::make_shared<std::string>();
    auto* command = app.add_subcommand("trash", "Move an item into the trash");
    command->add_option("ID", *id, "the item's identifier")->required();
    command->callback([chosen, id] {
        *chosen = [id](CliHost& host) {
            auto item = std::make_shared<CommandItem>(changedItem(*id), host::trashContainer, "");
            host.printItem(*host.modifyItem(item, {}, host::parentItemIdentifierField, std::nullopt).first);
            return 0;
        };
    });
}

void addRestoreCommand(CLI::App& app, Action* chosen) {
    auto id = std::make_shared<std::string>();
    auto* command = app.add_subcommand("restore", "Bring an item back from the trash");
    command->add_option("ID", *id, "the item's identifier")->required();
    command->callback([chosen, id] {
        *chosen = [id](CliHost& host) {
            // A change of no field: the extension brings a trashed node back before anything else.
            auto item = std::make_shared<CommandItem>(changedItem(*id), "", "");
            host.printItem(*host.modifyItem(item, {}, 0, std::nullopt).first);
            return 0;
        };
    });
}

void addRmCommand(CLI::App& app, Action* chosen) {
    auto id = std::make_shared<std::string>();
    auto* command =
        app.add_subcommand("rm", "Delete an item: into the trash, or for good when it is in the trash");
    command->add_option("ID", *id, "the item's identifier")->required();
    command->callback([chosen, id] {
        *chosen = [id](CliHost& host) {
            host.deleteItem(changedItem(*id));
            return 0;
        };
    });
}

}  // namespace tw::cli

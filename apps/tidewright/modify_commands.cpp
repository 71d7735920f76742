// tidewright edit ID FILE [--base-rev REV]; mv ID [--name NAME] [--parent PARENT]; trash ID; restore ID —
// each one modification. The item handed in holds the identifier and only the fields the command changes,
// with only their changed-field bits set; the extension reads the node itself.
#include <unistd.h>

#include <iostream>

#include "commands.h"
#include "host_calls/enumeration_calls.h"
#include "local_file.h"
#include "progress_bar.h"
#include "terminal_text.h"

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

// An edit that the service refused because the item changed on it while the edit was under way (renamed,
// moved or edited elsewhere between the extension's reading the item and its sending the contents) comes
// back as cannotSynchronize, which says nothing of why. When the item's metadata version has moved since
// `before` was read, the same error says it in words; otherwise none.
std::optional<Error> changedMeanwhile(CliHost& host, const Error& error, const host::Item& before,
                                      const std::filesystem::path& file) {
    if (!isFileProviderError(error, FileProviderErrorCode::cannotSynchronize) ||
        error.userInfo().localizedDescription)  // a read-only or unavailable space says so itself
        return std::nullopt;
    host::ItemPointer now;
    try {
        now = host.item(before.itemIdentifier());
    } catch (const Error&) {
        return std::nullopt;
    }
    if (now->itemVersion().metadataVersion == before.itemVersion().metadataVersion) return std::nullopt;
    return Error(error.domain(), error.code(), {},
                 before.itemIdentifier() +
                     " changed on the service while the edit was sent (renamed, moved or edited elsewhere): "
                     "nothing was lost, the service keeps its version and " +
                     file.string() +
                     " is as it was; run the edit again to replace the contents as they are now");
}

// The conflicting copy an edit of `item` uploaded, found among the working set's changes since `from`: the
// last item the feed names beside it whose name is the item's with a conflict date. None when the feed
// cannot tell.
host::ItemPointer conflictingCopy(CliHost& host, host::Enumerator& workingSet, const host::SyncAnchor& from,
                                  const host::Item& item) {
    // "NAME (conflito YYYY-MM-DD HH.MM).EXT", up to the date: a copy made a minute later still matches.
    const std::string marker = " (conflito ";
    const std::string sample = FileProviderExtension::conflictName(item.filename());
    const std::string prefix = sample.substr(0, sample.rfind(marker) + marker.size());
    host::ItemPointer copy;
    try {
        hostcalls::catchUp(workingSet, from, host.limits(), [&](const hostcalls::ChangeBatch& batch) {
            for (const auto& changed : batch.updated)
                if (changed->itemIdentifier() != item.itemIdentifier() &&
                    changed->parentItemIdentifier() == item.parentItemIdentifier() &&
                    changed->filename().starts_with(prefix))
                    copy = changed;
        });
    } catch (const Error&) {
        return nullptr;  // the edit is done all the same; only the copy's name stays untold
    }
    return copy;
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
            // The item as it stands: the version the edit is made on, and what a refusal is compared with.
            const auto before = host.item(id);
            host::ItemVersion base;
            base.contentVersion = arguments->baseRevision.value_or(before->itemVersion().contentVersion);
            // Where the feed stands, so that a conflicting copy can be found among its changes afterwards.
            auto workingSet = host.extension().enumerator(host::workingSet, host::Request{});
            const auto anchor = hostcalls::currentAnchor(*workingSet, host.limits());
            ProgressBar bar(std::cerr, ::isatty(STDERR_FILENO) == 1);
            hostcalls::Changed changed;
            try {
                changed = host.modifyItem(
                    hostcalls::TemplateItem::toModify(id).withContents(), base, file,
                    [&bar](const Progress& p) { bar.update(p.completedUnitCount(), p.totalUnitCount()); });
            } catch (const Error& error) {
                bar.finish();
                if (auto said = changedMeanwhile(host, error, *before, file)) throw *said;
                throw;
            } catch (...) {
                bar.finish();
                throw;
            }
            bar.finish();
            host.printItem(*changed.item);
            if (!changed.shouldFetchContent) return 0;
            // The service's contents had moved on from the base: they stay the item's, and FILE went up
            // beside it.
            const auto copy = anchor ? conflictingCopy(host, *workingSet, *anchor, *changed.item) : nullptr;
            if (host.json()) {
                host.printJson({{"conflictingCopy", copy ? CliHost::toJson(*copy) : nlohmann::json()}});
            } else {
                const std::string copied = copy ? "the conflicting copy \"" + terminalText(copy->filename()) +
                                                      "\" (" + terminalText(copy->itemIdentifier()) + ")"
                                                : "a conflicting copy";
                std::cerr
                    << "note: the item's contents changed on the service since the version this edit was "
                       "made on; they stay the item's, and "
                    << terminalText(file.string()) << " went up beside it as " << copied << "\n";
            }
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
            auto item = hostcalls::TemplateItem::toModify(changedItem(arguments->id));
            if (arguments->name) item.named(*arguments->name);
            if (arguments->parent) item.inParent(CliHost::identifierFor(*arguments->parent));
            host.printItem(*host.modifyItem(item, {}, std::nullopt).item);
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
            const auto item =
                hostcalls::TemplateItem::toModify(changedItem(*id)).inParent(host::trashContainer);
            host.printItem(*host.modifyItem(item, {}, std::nullopt).item);
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
            host.printItem(
                *host.modifyItem(hostcalls::TemplateItem::toModify(changedItem(*id)), {}, std::nullopt).item);
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

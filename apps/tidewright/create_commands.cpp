// tidewright mkdir PARENT NAME [--may-already-exist]; tidewright put PARENT FILE [--name NAME]
// [--may-already-exist] — each one creation, from a template as a desktop host makes it.
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "commands.h"
#include "local_file.h"
#include "progress_bar.h"

namespace tw::cli {

void addMkdirCommand(CLI::App& app, Action* chosen) {
    struct Arguments {
        std::string parent, name;
        bool mayAlreadyExist = false;
    };
    auto arguments = std::make_shared<Arguments>();
    auto* command = app.add_subcommand("mkdir", "Create a folder NAME in PARENT");
    command->add_option("PARENT", arguments->parent, "a folder's identifier, root, or trash (refused)")
        ->required();
    command->add_option("NAME", arguments->name, "the new folder's name")->required();
    command->add_flag("--may-already-exist", arguments->mayAlreadyExist, "adopt a folder of that name");
    command->callback([chosen, arguments] {
        *chosen = [arguments](CliHost& host) {
            auto folder =
                hostcalls::TemplateItem::toCreate(CliHost::identifierFor(arguments->parent), arguments->name);
            folder.ofType(ContentType::folder());
            host.printItem(*host.createItem(
                folder, std::nullopt, arguments->mayAlreadyExist ? std::uint64_t{host::mayAlreadyExist} : 0));
            return 0;
        };
    });
}

void addPutCommand(CLI::App& app, Action* chosen) {
    struct Arguments {
        std::string parent, file;
        std::optional<std::string> name;
        bool mayAlreadyExist = false;
    };
    auto arguments = std::make_shared<Arguments>();
    auto* command = app.add_subcommand("put", "Upload FILE as a new file in PARENT");
    addRateOptions(*command);
    command->add_option("PARENT", arguments->parent, "a folder's identifier, root, or trash (refused)")
        ->required();
    command->add_option("FILE", arguments->file, "the local file")->required();
    command->add_option("--name", arguments->name, "the name on the service (default: FILE's own)");
    command->add_flag("--may-already-exist", arguments->mayAlreadyExist,
                      "overwrite a file of that name (a folder of that name still collides)");
    command->callback([chosen, arguments] {
        *chosen = [arguments](CliHost& host) {
            const std::filesystem::path file = arguments->file;
            const std::string name = arguments->name.value_or(file.filename().string());
            // The template's type, as a desktop host reads it off the file: a link is a link (the extension
            // refuses it), anything else must be a regular file.
            std::error_code ignored;
            auto itemTemplate =
                hostcalls::TemplateItem::toCreate(CliHost::identifierFor(arguments->parent), name);
            itemTemplate.withContents();
            if (std::filesystem::is_symlink(std::filesystem::symlink_status(file, ignored))) {
                itemTemplate.ofType(ContentType::symbolicLink());
            } else {
                regularFile(arguments->file);
                itemTemplate.ofType(
                    ContentType::fromFilenameExtension(pathExtension(name)).value_or(ContentType::data()));
            }
            ProgressBar bar(std::cerr, ::isatty(STDERR_FILENO) == 1);
            host::ItemPointer item;
            try {
                item = host.createItem(
                    itemTemplate, file, arguments->mayAlreadyExist ? std::uint64_t{host::mayAlreadyExist} : 0,
                    [&bar](const Progress& p) { bar.update(p.completedUnitCount(), p.totalUnitCount()); });
            } catch (...) {
                bar.finish();
                throw;
            }
            bar.finish();
            host.printItem(*item);
            return 0;
        };
    });
}

}  // namespace tw::cli

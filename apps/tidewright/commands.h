#pragma once
// Each command of the tool is one small file that registers itself here.

#include <functional>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli_host.h"

namespace tw::cli {

// Runs the chosen command against the host; returns the exit status.
using Action = std::function<int(CliHost& host)>;

// Runs a command that needs no extension (pairing, revocation) with the tool's options.
using StandaloneAction = std::function<int(const Options& options)>;

// Adds --bwlimit-down and --bwlimit-up to a command that moves contents (rate_options.cpp).
void addRateOptions(CLI::App& command);

// Adds a subcommand to `app`; when it is chosen, `*chosen` is set to its action.
void addItemCommand(CLI::App& app, Action* chosen);
void addLsCommand(CLI::App& app, Action* chosen);
void addAnchorCommand(CLI::App& app, Action* chosen);
void addChangesCommand(CLI::App& app, Action* chosen);
void addWatchCommand(CLI::App& app, Action* chosen);
void addGetCommand(CLI::App& app, Action* chosen);
void addReadCommand(CLI::App& app, Action* chosen);
void addCatCommand(CLI::App& app, Action* chosen);
void addMkdirCommand(CLI::App& app, Action* chosen);
void addPutCommand(CLI::App& app, Action* chosen);
void addEditCommand(CLI::App& app, Action* chosen);
void addMvCommand(CLI::App& app, Action* chosen);
void addTrashCommand(CLI::App& app, Action* chosen);
void addRestoreCommand(CLI::App& app, Action* chosen);
void addRmCommand(CLI::App& app, Action* chosen);
void addPairCommand(CLI::App& app, StandaloneAction* chosen);
void addRevokeCommand(CLI::App& app, StandaloneAction* chosen);
// Mounts the domain: it makes its own host (after detaching, when it detaches).
void addMountCommand(CLI::App& app, StandaloneAction* chosen);
// Asks the running mount of the domain what it has not uploaded yet; signals end it as usual.
void addStatusCommand(CLI::App& app, StandaloneAction* chosen);
// Lists the configured spaces and where each is mounted.
void addSpacesCommand(CLI::App& app, StandaloneAction* chosen);
// pin and unpin: paths on a mount, through its xattrs.
void addPinCommands(CLI::App& app, StandaloneAction* chosen);

}  // namespace tw::cli

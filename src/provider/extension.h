#pragma once
// The extension object of one domain: what the host creates with init(domain:) and calls.
//
// Configured or not is fixed at construction: with a usable configuration it owns one Remote for the
// domain's whole life; without one, every asynchronous call answers notAuthenticated (the root and trash
// containers still answer). Calls arrive on any thread, several at once; each asynchronous one runs as a
// task of its own and returns its progress at once.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/http/session.h"
#include "platform/log.h"
#include "platform/progress.h"
#include "platform/task/task.h"
#include "records/records.h"

namespace tw {

struct SeqState;  // content/read_ahead.h
// The API client stays behind this header: a host sees the extension, never the client it talks through.
// The extension's own implementation reaches it with remoteOf (provider/remote_access.h).
class Remote;
class RemoteError;

// The one logger of the extension: subsystem the extension's bundle identifier, category "fp".
const Logger& log();

class FileProviderExtension : public host::ReplicatedExtension,
                              public std::enable_shared_from_this<FileProviderExtension> {
public:
    static constexpr const char* bundleIdentifier = "com.tidewright.desktop.FileProvider";
    // The folder named after the product below the user's cache folder that holds each domain's temporary
    // folder.
    static constexpr const char* cacheFolderName = "tidewright";

    // Reads the configuration from the domain's user info and logs "init domain=<id> configured=<bool>".
    // Never fails and sends nothing. Tasks keep the extension alive, so it must be owned by a shared_ptr.
    // Without a manager for the domain (none, or the host's failing to make one) the extension works all
    // the same; a failure is logged once.
    static std::shared_ptr<FileProviderExtension> make(host::Domain domain);
    // The same, with every request to the service served only by `substitutes` instead of the network: for
    // hosts and tests that answer in memory.
    static std::shared_ptr<FileProviderExtension> make(
        host::Domain domain, std::vector<std::shared_ptr<http::Transport>> substitutes);

    const host::Domain& domain() const { return domain_; }
    bool isConfigured() const { return remote_ != nullptr; }

    // A host call's finishing call for success (a completion handler's or an observer's).
    using Finish = std::function<void()>;
    // A host call's work: everything that can fail, including any report made before the end (an
    // observer's items); it returns the finishing call for success, which it does not make itself.
    using Body = std::function<Finish()>;

    // How every asynchronous host call ends, on the calling thread: runs `body`; when it fails, logs the
    // failure ("operação falhou: <description>") and hands it to `fail` mapped by fpError; otherwise makes
    // the finishing call the body returned. So exactly one finishing call is made: one that throws is not
    // followed by another (its exception goes to the caller).
    static void perform(const std::function<void(Error)>& fail, const Body& body);

    // `perform` as an independent task; returns at once. The task keeps the extension alive.
    Task run(std::function<void(Error)> fail, Body body) const;
    // The same, returning `progress` at once: cancelling the progress cancels the task.
    std::shared_ptr<Progress> run(std::shared_ptr<Progress> progress, std::function<void(Error)> fail,
                                  Body body) const;

    // Root and trash are answered at once, without configuration; anything else is read from the service.
    std::shared_ptr<Progress> item(const host::ItemIdentifier& identifier, const host::Request& request,
                                   host::ItemCompletion completionHandler) override;
    // Root, working set, trash (compared in this order), else the folder of that identifier.
    std::shared_ptr<host::Enumerator> enumerator(const host::ItemIdentifier& containerIdentifier,
                                                 const host::Request& request) override;
    // A fresh open of the node, then its whole contents downloaded into a new file in the manager's
    // temporary folder (content/fetch_contents.cpp). The progress counts bytes.
    std::shared_ptr<Progress> fetchContents(const host::ItemIdentifier& identifier,
                                            const std::optional<host::ItemVersion>& version,
                                            const host::Request& request,
                                            host::FetchCompletion completionHandler) override;
    // The asked range widened to the alignment and the item's read-ahead chunk, fetched with range requests
    // into a new sparse file at its true offset (content/partial_contents.cpp).
    std::shared_ptr<Progress> fetchPartialContents(const host::ItemIdentifier& identifier,
                                                   const host::ItemVersion& version,
                                                   const host::Request& request, host::ByteRange minimalRange,
                                                   std::int64_t alignment, host::FetchContentsOptions options,
                                                   host::PartialFetchCompletion completionHandler) override;

    // A folder, or a file uploaded from `contents`; a name conflict adopts or overwrites the existing node
    // when `options` say it may already exist, else it is the collision error carrying the existing item.
    // Names that never sync and symbolic links are refused at once (content/create.cpp).
    std::shared_ptr<Progress> createItem(host::ItemPointer itemTemplate, host::ItemFieldSet fields,
                                         std::optional<std::filesystem::path> contents, std::uint64_t options,
                                         const host::Request& request,
                                         host::ItemChangeCompletion completionHandler) override;
    // In this order: a move into the trash (which ends the call), a restore of a node in the trash, the
    // contents (overwritten, or uploaded as a dated conflicting copy when the service's contents changed
    // since `baseVersion`), then name and parent in one request (content/modify.cpp).
    std::shared_ptr<Progress> modifyItem(host::ItemPointer item, const host::ItemVersion& baseVersion,
                                         host::ItemFieldSet changedFields,
                                         std::optional<std::filesystem::path> contents, std::uint64_t options,
                                         const host::Request& request,
                                         host::ItemChangeCompletion completionHandler) override;
    // A live node goes to the trash, a node in the trash is purged; a node the service no longer knows
    // counts as deleted (content/delete.cpp).
    std::shared_ptr<Progress> deleteItem(const host::ItemIdentifier& identifier,
                                         const host::ItemVersion& baseVersion, std::uint64_t options,
                                         const host::Request& request,
                                         host::DeleteCompletion completionHandler) override;
    void invalidate() override {}

    // The name of a conflicting copy of `name` made at `now`, in the process's local time zone:
    // "Relatorio.pdf" at 14:07 on 3 March 2025 gives "Relatorio (conflito 2025-03-03 14.07).pdf", "LEIAME"
    // gives "LEIAME (conflito 2025-03-03 14.07)". The extension is what pathExtension gives, so a hidden
    // name such as ".bashrc" has none.
    static std::string conflictName(const std::string& name, std::chrono::system_clock::time_point now =
                                                                 std::chrono::system_clock::now());

protected:
    FileProviderExtension(host::Domain domain,
                          std::optional<std::vector<std::shared_ptr<http::Transport>>> substitutes);

private:
    friend std::shared_ptr<const Remote> remoteOf(const FileProviderExtension& extension);

    // The API client; throws the host error notAuthenticated when the domain is not configured.
    std::shared_ptr<const Remote> api() const;

    // The node's open record: the cached one while it is valid for more than two minutes (unless `force`),
    // else a new one from the service, stored in `opened_`.
    Opened open(const std::string& id, bool force);
    // Writes the bytes [lower, upper) of the record's download address into the open file `fd` at their
    // own offsets: one range request below 2 MiB, else 4 or 5 pieces at once, each written in place as it
    // arrives. Returns the number of bytes written. Throws RemoteError; the file's contents are then
    // unspecified.
    std::int64_t fetchRange(const Opened& opened, std::int64_t lower, std::int64_t upper, int fd) const;
    // One range request for [lower, upper), written into `fd` from `lower` on; only a 206 of exactly that
    // range is an answer, and nothing is written past `upper`. Returns upper - lower.
    std::int64_t getRange(const Opened& opened, std::int64_t lower, std::int64_t upper, int fd) const;

    // Helpers of the mutations (content/mutation_helpers.cpp).

    // Names that never sync (".DS_Store", ".localized", ".Trashes", ".fseventsd", ".Spotlight-V100",
    // ".TemporaryItems", any name beginning with "._") and symbolic links.
    static bool excluded(const host::Item& itemTemplate);
    // The service's parent id of a host parent: none for the root; throws cannotSynchronize for the trash.
    static std::optional<std::string> parentId(const host::ItemIdentifier& identifier);
    // A folder, or any directory type; false without a type.
    static bool isFolder(const std::optional<ContentType>& type);
    // A new empty file in the process's temporary folder (never deleted here).
    static std::filesystem::path emptyFile();
    // The file's size in bytes; 0 when it cannot be read.
    static std::int64_t sizeOf(const std::filesystem::path& file);
    // The id a name-conflict error names as the node that has the name: its body's "existing" → "id".
    static std::optional<std::string> existingIdOf(const RemoteError& error);
    // The error to hand the host for a name conflict: the collision error carrying the existing item when
    // the conflict names it and it can be read, else fpError of `error`. Never throws.
    Error collision(const RemoteError& error) const;

    host::Domain domain_;
    std::shared_ptr<const Remote> remote_;
    std::shared_ptr<host::Manager> manager_;

    // Guards the two tables below; held only for single table updates, never across a request.
    mutable std::mutex lock_;
    std::map<std::string, Opened> opened_;                   // by node id; no entry that can expire stays
    std::map<std::string, std::shared_ptr<SeqState>> seqs_;  // by item id; no entry idle for 10 minutes stays
};

}  // namespace tw

#pragma once

// The service's metadata in SQLite (WAL mode): nodes with their change-feed positions, multipart upload
// sessions, devices and download links.
//
// Every mutation is one transaction on the single writer connection, and writers are serialised by a
// mutex. A position of the change feed is taken inside the transaction that uses it, so positions commit
// in order: a reader never sees position p+1 without p. Readers use their own connections (a small pool)
// and read one snapshot per request. All methods are thread-safe.
//
// Domain failures (unknown node, stale version, name conflict...) are thrown as ApiError with the status
// and code the API answers; SqliteError means the database itself failed.

#include "server/node.h"
#include "server/sqlite.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tw::server {

// One page of children or of the trash, ordered by row number; `next` is the row number to continue
// after, absent on the last page.
struct ListingPage {
    std::vector<Node> items;
    std::optional<std::int64_t> next;
};

// One page of the change feed: nodes whose last change has a position after `since`, in position
// order. `cursor` is the position of the last node returned (or `since`, at least 0, when none is), so
// asking again from it neither repeats nor misses a change.
struct ChangesPage {
    std::vector<Node> changes;
    std::int64_t cursor = 0;
    std::int64_t latest = 0;
    bool hasMore = false;
};

// What a finished upload asks the store to record.
struct FileCommit {
    std::string name;
    std::int64_t parent = 0;
    std::string mime;
    std::int64_t size = 0;
    std::string rev;                      // the content file's revision, already in place under blobs/
    bool rename = false;                  // conflict policy: pick a free name instead of failing
    std::optional<std::int64_t> replace;  // node whose content is replaced (name and parent then ignored)
    std::optional<std::int64_t> ifMatch;  // version the replaced node must have
};

struct Committed {
    Node node;
    std::optional<std::string> oldRev;  // content file no longer referenced, to remove
};

struct Upload {
    std::string id;
    FileCommit target;  // rev unset until completion
    std::int64_t partSize = 0;
    std::int64_t createdAt = 0;
};

// Tokens are stored as their tokenHash: a Device or Link read back from the store holds the hash.
struct Device {
    std::string id;
    std::string token;
    std::string name;
    std::string kind;
    std::int64_t createdAt = 0;
};

struct Link {
    std::string token;
    std::int64_t num = 0;
    std::string rev;
    std::int64_t expiresAt = 0;
};

class Store {
public:
    // Opens or creates the database file and its schema. Throws SqliteError.
    explicit Store(const std::filesystem::path& file);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // --- reads ---
    // The node with this row number in any state, purged tombstones included.
    std::optional<Node> find(std::int64_t num);
    // A node as GET /nodes/ID answers it: 404 when unknown or purged, and when trashed unless asked for.
    Node get(std::int64_t num, bool includeTrashed);
    // Live children of a folder (0 = top level) after row `after`, at most `limit`. 404 for an unknown or
    // purged folder, 409 "not_a_folder" for a file.
    ListingPage children(std::int64_t parent, std::int64_t after, int limit);
    // Nodes trashed directly (not purged), after row `after`, at most `limit`.
    ListingPage trash(std::int64_t after, int limit);
    ChangesPage changes(std::int64_t since, int limit);
    std::int64_t nodeCount();

    // --- node mutations (one transaction each; each change gives the node version + 1 and a new seq) ---
    Node createFolder(const std::string& name, std::int64_t parent);
    // Renames and/or moves (parent 0 = top level). No actual change answers the node unchanged.
    Node patch(std::int64_t num, const std::optional<std::string>& name, std::optional<std::int64_t> parent,
               std::optional<std::int64_t> ifMatch);
    Node trash(std::int64_t num, std::optional<std::int64_t> ifMatch);
    // Brings a trashed node back to its parent, or to the top level when that is no longer live.
    Node restore(std::int64_t num);
    // Purges a node in the trash (or below a trashed folder) with what went to the trash with it: its
    // subtree, short of the nodes in it that were trashed on their own (they stay in the trash, with theirs).
    // Every purged node stays as a tombstone in the change feed. Returns the content revisions no longer
    // referenced.
    std::vector<std::string> purge(std::int64_t num);
    // Checks what can be checked before any byte arrives (parent, conflict under "fail", replace target
    // and version), throwing the ApiError the commit would throw.
    void precheck(const FileCommit& commit);
    Committed commitFile(const FileCommit& commit);

    // --- multipart upload sessions ---
    void addUpload(const Upload& upload);
    std::optional<Upload> upload(const std::string& id);
    // Removes the session and its part records; false when it was not there.
    bool removeUpload(const std::string& id);
    // A part is recorded, with its size, only once all its bytes are in the upload's content file, and
    // forgotten before they are written again. recordPart is false when the session is gone.
    void forgetPart(const std::string& id, std::int64_t part);
    bool recordPart(const std::string& id, std::int64_t part, std::int64_t size);
    // The recorded parts of a session: part number to size.
    std::map<std::int64_t, std::int64_t> uploadParts(const std::string& id);
    // Commits the file and removes the session in one transaction; 404 when the session is gone.
    Committed completeUpload(const std::string& id, const FileCommit& commit);
    std::vector<std::string> uploadIds();
    // Removes the upload sessions created before `before` (ms since the epoch); returns their ids.
    std::vector<std::string> expireUploads(std::int64_t before);

    // --- devices and download links ---
    void addDevice(const Device& device);
    std::vector<Device> activeDevices();
    // Marks the device revoked; false when unknown or already revoked.
    bool revokeDevice(const std::string& id);
    void addLink(const Link& link);
    std::optional<Link> link(const std::string& token);

    // Content revisions referenced by any node that is not purged.
    std::vector<std::string> liveRevs();
    // Inserts `count` empty files named "<prefix>NNNNNN" under `parent` in one transaction, each with a
    // fresh revision taken from `makeRev` (which creates its content file). For benchmarks.
    void bulkFiles(std::int64_t parent, std::int64_t count, const std::string& prefix,
                   const std::function<std::string()>& makeRev);

private:
    // Runs `body` in one read snapshot on a pooled connection.
    void read(const std::function<void(Database&)>& body);
    // Runs `body` in one write transaction on the writer connection, committed when it returns.
    void write(const std::function<void(Database&)>& body);

    std::filesystem::path file_;
    std::mutex writeMutex_;
    std::unique_ptr<Database> writer_;
    std::mutex poolMutex_;
    std::vector<std::unique_ptr<Database>> idle_;
};

}  // namespace tw::server

// Node mutations of the store: each runs in one write transaction and gives every node it changes
// version + 1 and a fresh change-feed position.

#include "server/api_error.h"
#include "server/names.h"
#include "server/store.h"
#include "server/store_rows.h"
#include "server/util.h"

#include <cstdio>

namespace tw::server {
namespace {

ApiError nameConflict(const Node& existing) {
    return ApiError(409, "name_conflict", {{"existing", toJson(existing)}});
}

// The node as a mutation may touch it: present, not purged, not trashed itself.
Node activeNode(Database& db, std::int64_t num) {
    auto node = rows::findNode(db, num);
    if (!node || node->purged || node->deletedAt) throw ApiError::notFound();
    return *node;
}

void checkVersion(const Node& node, std::optional<std::int64_t> ifMatch) {
    if (ifMatch && *ifMatch != node.version) throw ApiError(412, "version_mismatch");
}

// A folder that can receive children: the top level, or a live folder.
void checkParent(Database& db, std::int64_t parent) {
    if (parent == 0) return;
    auto folder = rows::findNode(db, parent);
    if (!folder || !rows::isLive(db, *folder)) throw ApiError(404, "parent_not_found");
    if (!folder->folder) throw ApiError(409, "not_a_folder");
}

void touch(Database& db, Node& node, std::int64_t now) {
    node.version += 1;
    node.seq = rows::nextSeq(db);
    node.updatedAt = now;
}

// A name free among the live children of `parent`: `name` itself, else the first free "name (n)".
std::string freeName(Database& db, std::int64_t parent, const std::string& name) {
    if (!rows::liveSibling(db, parent, name, 0)) return name;
    for (int n = 1; n < 100000; ++n) {
        std::string candidate = numberedName(name, n);
        if (isValidName(candidate) && !rows::liveSibling(db, parent, candidate, 0)) return candidate;
    }
    throw ApiError(409, "name_conflict");
}

void checkTarget(Database& db, const FileCommit& commit) {
    if (commit.replace) {
        Node node = activeNode(db, *commit.replace);
        if (node.folder) throw ApiError(409, "not_a_file");
        checkVersion(node, commit.ifMatch);
        return;
    }
    checkParent(db, commit.parent);
    if (!commit.rename) {
        if (auto existing = rows::liveSibling(db, commit.parent, commit.name, 0))
            throw nameConflict(*existing);
    }
}

Committed commitIn(Database& db, const FileCommit& commit) {
    checkTarget(db, commit);
    auto now = nowMs();
    if (commit.replace) {
        Node node = activeNode(db, *commit.replace);
        Committed done{node, node.rev};
        done.node.size = commit.size;
        done.node.mime = commit.mime;
        done.node.rev = commit.rev;
        touch(db, done.node, now);
        rows::updateNode(db, done.node);
        return done;
    }
    Node node;
    node.parent = commit.parent;
    node.folder = false;
    node.name = commit.rename ? freeName(db, commit.parent, commit.name) : commit.name;
    node.size = commit.size;
    node.mime = commit.mime;
    node.rev = commit.rev;
    node.version = 1;
    node.seq = rows::nextSeq(db);
    node.createdAt = node.updatedAt = now;
    rows::insertNode(db, node);
    return {node, std::nullopt};
}

}  // namespace

Node Store::createFolder(const std::string& name, std::int64_t parent) {
    Node node;
    write([&](Database& db) {
        checkParent(db, parent);
        if (auto existing = rows::liveSibling(db, parent, name, 0)) throw nameConflict(*existing);
        node.parent = parent;
        node.folder = true;
        node.name = name;
        node.version = 1;
        node.seq = rows::nextSeq(db);
        node.createdAt = node.updatedAt = nowMs();
        rows::insertNode(db, node);
    });
    return node;
}

Node Store::patch(std::int64_t num, const std::optional<std::string>& name,
                  std::optional<std::int64_t> parent, std::optional<std::int64_t> ifMatch) {
    Node node;
    write([&](Database& db) {
        node = activeNode(db, num);
        checkVersion(node, ifMatch);
        std::string newName = name.value_or(node.name);
        std::int64_t newParent = parent.value_or(node.parent);
        if (newName == node.name && newParent == node.parent) return;
        if (newParent != node.parent) {
            checkParent(db, newParent);
            // Walk up from the new parent: meeting the node itself means a move into its own subtree.
            for (std::int64_t up = newParent; up != 0;) {
                if (up == num) throw ApiError(409, "move_into_descendant");
                auto above = rows::findNode(db, up);
                up = above ? above->parent : 0;
            }
        }
        if (auto existing = rows::liveSibling(db, newParent, newName, num)) throw nameConflict(*existing);
        node.name = newName;
        node.parent = newParent;
        touch(db, node, nowMs());
        rows::updateNode(db, node);
    });
    return node;
}

Node Store::trash(std::int64_t num, std::optional<std::int64_t> ifMatch) {
    Node node;
    write([&](Database& db) {
        node = activeNode(db, num);
        checkVersion(node, ifMatch);
        auto now = nowMs();
        node.deletedAt = now;
        touch(db, node, now);
        rows::updateNode(db, node);
    });
    return node;
}

Node Store::restore(std::int64_t num) {
    Node node;
    write([&](Database& db) {
        auto found = rows::findNode(db, num);
        if (!found || found->purged) throw ApiError::notFound();
        node = *found;
        if (!node.deletedAt) return;
        if (node.parent != 0) {
            auto parent = rows::findNode(db, node.parent);
            if (!parent || !rows::isLive(db, *parent)) node.parent = 0;
        }
        if (auto existing = rows::liveSibling(db, node.parent, node.name, num)) throw nameConflict(*existing);
        node.deletedAt.reset();
        touch(db, node, nowMs());
        rows::updateNode(db, node);
    });
    return node;
}

std::vector<std::string> Store::purge(std::int64_t num) {
    std::vector<std::string> freed;
    write([&](Database& db) {
        auto node = rows::findNode(db, num);
        if (!node || node->purged || rows::isLive(db, *node)) throw ApiError::notFound();
        // What went to the trash with the node: its subtree, short of the nodes trashed on their own before
        // (or after) it, which stay in the trash with their own subtrees until purged themselves.
        std::vector<std::int64_t> subtree;
        {
            Statement st(db,
                         "WITH RECURSIVE sub(num) AS (SELECT ? UNION ALL "
                         "SELECT nodes.num FROM nodes JOIN sub ON nodes.parent = sub.num "
                         "WHERE nodes.deleted_at IS NULL) "
                         "SELECT num FROM sub");
            st.bind(1, num);
            while (st.step())
                subtree.push_back(st.integer(0));
        }
        auto now = nowMs();
        for (std::int64_t each : subtree) {
            auto victim = rows::findNode(db, each);
            if (!victim || victim->purged) continue;
            if (victim->rev) freed.push_back(*victim->rev);
            victim->purged = true;
            if (!victim->deletedAt) victim->deletedAt = now;
            touch(db, *victim, now);
            rows::updateNode(db, *victim);
        }
        Statement links(db, "DELETE FROM links WHERE num = ?");
        for (std::int64_t each : subtree) {
            links.bind(1, each);
            links.run();
        }
    });
    return freed;
}

void Store::precheck(const FileCommit& commit) {
    read([&](Database& db) { checkTarget(db, commit); });
}

Committed Store::commitFile(const FileCommit& commit) {
    Committed done;
    write([&](Database& db) { done = commitIn(db, commit); });
    return done;
}

Committed Store::completeUpload(const std::string& id, const FileCommit& commit) {
    Committed done;
    write([&](Database& db) {
        Statement remove(db, "DELETE FROM uploads WHERE id = ?");
        remove.bind(1, id);
        remove.run();
        if (db.changes() == 0) throw ApiError::notFound();
        Statement parts(db, "DELETE FROM upload_parts WHERE upload_id = ?");
        parts.bind(1, id);
        parts.run();
        done = commitIn(db, commit);
    });
    return done;
}

void Store::bulkFiles(std::int64_t parent, std::int64_t count, const std::string& prefix,
                      const std::function<std::string()>& makeRev) {
    write([&](Database& db) {
        checkParent(db, parent);
        auto now = nowMs();
        for (std::int64_t i = 0; i < count; ++i) {
            Node node;
            node.parent = parent;
            char digits[32];
            std::snprintf(digits, sizeof digits, "%06lld", static_cast<long long>(i));
            node.name = prefix + digits + ".txt";
            node.mime = "text/plain";
            node.rev = makeRev();
            node.seq = rows::nextSeq(db);
            node.createdAt = node.updatedAt = now;
            rows::insertNode(db, node);
        }
    });
}

}  // namespace tw::server

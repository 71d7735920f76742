// The store's records besides nodes: multipart upload sessions, devices and download links.

#include "server/store.h"
#include "server/util.h"

namespace tw::server {

void Store::addUpload(const Upload& upload) {
    write([&](Database& db) {
        Statement st(
            db,
            "INSERT INTO uploads (id, name, parent, mime, size, part_size, rename, replace, if_match, "
            "created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        const FileCommit& t = upload.target;
        st.bind(1, upload.id).bind(2, t.name).bind(3, t.parent).bind(4, t.mime).bind(5, t.size);
        st.bind(6, upload.partSize).bind(7, std::int64_t{t.rename ? 1 : 0});
        if (t.replace) {
            st.bind(8, *t.replace);
        } else {
            st.bindNull(8);
        }
        if (t.ifMatch) {
            st.bind(9, *t.ifMatch);
        } else {
            st.bindNull(9);
        }
        st.bind(10, upload.createdAt);
        st.run();
    });
}

std::optional<Upload> Store::upload(const std::string& id) {
    std::optional<Upload> found;
    read([&](Database& db) {
        Statement st(db,
                     "SELECT id, name, parent, mime, size, part_size, rename, replace, if_match, created_at "
                     "FROM uploads WHERE id = ?");
        st.bind(1, id);
        if (!st.step()) return;
        Upload u;
        u.id = st.text(0);
        u.target.name = st.text(1);
        u.target.parent = st.integer(2);
        u.target.mime = st.text(3);
        u.target.size = st.integer(4);
        u.partSize = st.integer(5);
        u.target.rename = st.integer(6) != 0;
        u.target.replace = st.optionalInteger(7);
        u.target.ifMatch = st.optionalInteger(8);
        u.createdAt = st.integer(9);
        found = std::move(u);
    });
    return found;
}

bool Store::removeUpload(const std::string& id) {
    bool removed = false;
    write([&](Database& db) {
        Statement st(db, "DELETE FROM uploads WHERE id = ?");
        st.bind(1, id);
        st.run();
        removed = db.changes() > 0;
        Statement parts(db, "DELETE FROM upload_parts WHERE upload_id = ?");
        parts.bind(1, id);
        parts.run();
    });
    return removed;
}

void Store::forgetPart(const std::string& id, std::int64_t part) {
    write([&](Database& db) {
        Statement st(db, "DELETE FROM upload_parts WHERE upload_id = ? AND part = ?");
        st.bind(1, id).bind(2, part);
        st.run();
    });
}

bool Store::recordPart(const std::string& id, std::int64_t part, std::int64_t size) {
    bool recorded = false;
    write([&](Database& db) {
        Statement st(db,
                     "INSERT OR REPLACE INTO upload_parts (upload_id, part, size) "
                     "SELECT id, ?, ? FROM uploads WHERE id = ?");
        st.bind(1, part).bind(2, size).bind(3, id);
        st.run();
        recorded = db.changes() > 0;
    });
    return recorded;
}

std::map<std::int64_t, std::int64_t> Store::uploadParts(const std::string& id) {
    std::map<std::int64_t, std::int64_t> parts;
    read([&](Database& db) {
        Statement st(db, "SELECT part, size FROM upload_parts WHERE upload_id = ?");
        st.bind(1, id);
        while (st.step())
            parts[st.integer(0)] = st.integer(1);
    });
    return parts;
}

std::vector<std::string> Store::uploadIds() {
    std::vector<std::string> ids;
    read([&](Database& db) {
        Statement st(db, "SELECT id FROM uploads");
        while (st.step())
            ids.push_back(st.text(0));
    });
    return ids;
}

std::vector<std::string> Store::expireUploads(std::int64_t before) {
    std::vector<std::string> ids;
    write([&](Database& db) {
        Statement st(db, "DELETE FROM uploads WHERE created_at < ? RETURNING id");
        st.bind(1, before);
        while (st.step())
            ids.push_back(st.text(0));
        db.exec("DELETE FROM upload_parts WHERE upload_id NOT IN (SELECT id FROM uploads)");
    });
    return ids;
}

void Store::addDevice(const Device& device) {
    write([&](Database& db) {
        Statement st(db, "INSERT INTO devices (id, token, name, kind, created_at) VALUES (?, ?, ?, ?, ?)");
        st.bind(1, device.id).bind(2, tokenHash(device.token)).bind(3, device.name).bind(4, device.kind);
        st.bind(5, device.createdAt);
        st.run();
    });
}

std::vector<Device> Store::activeDevices() {
    std::vector<Device> devices;
    read([&](Database& db) {
        Statement st(db, "SELECT id, token, name, kind, created_at FROM devices WHERE revoked_at IS NULL");
        while (st.step())
            devices.push_back({st.text(0), st.text(1), st.text(2), st.text(3), st.integer(4)});
    });
    return devices;
}

bool Store::revokeDevice(const std::string& id) {
    bool revoked = false;
    write([&](Database& db) {
        Statement st(db, "UPDATE devices SET revoked_at = ? WHERE id = ? AND revoked_at IS NULL");
        st.bind(1, nowMs()).bind(2, id);
        st.run();
        revoked = db.changes() > 0;
    });
    return revoked;
}

void Store::addLink(const Link& link) {
    write([&](Database& db) {
        // Links expired for a day are forgotten; until then they answer 403 rather than 404.
        Statement prune(db, "DELETE FROM links WHERE expires_at < ?");
        prune.bind(1, nowMs() - 86'400'000);
        prune.run();
        Statement st(db, "INSERT INTO links (token, num, rev, expires_at) VALUES (?, ?, ?, ?)");
        st.bind(1, tokenHash(link.token)).bind(2, link.num).bind(3, link.rev).bind(4, link.expiresAt);
        st.run();
    });
}

std::optional<Link> Store::link(const std::string& token) {
    std::optional<Link> found;
    read([&](Database& db) {
        Statement st(db, "SELECT token, num, rev, expires_at FROM links WHERE token = ?");
        st.bind(1, tokenHash(token));
        if (st.step()) found = Link{st.text(0), st.integer(1), st.text(2), st.integer(3)};
    });
    return found;
}

}  // namespace tw::server

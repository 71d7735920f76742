#pragma once

// Row-level helpers shared by the store's source files; not part of the store's interface.

#include "server/node.h"
#include "server/sqlite.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tw::server::rows {

// The node columns in the order nodeFrom reads them, for "SELECT <nodeColumns> FROM nodes".
inline constexpr const char* nodeColumns =
    "num, parent, kind, name, size, mime, rev, version, seq, created_at, updated_at, deleted_at, purged";

Node nodeFrom(const Statement& row);
std::optional<Node> findNode(Database& db, std::int64_t num);
// Takes the next change-feed position.
std::int64_t nextSeq(Database& db);
std::int64_t lastSeq(Database& db);
// Writes every mutable column of the node back to its row.
void updateNode(Database& db, const Node& node);
// Inserts a new node; fills in its row number.
void insertNode(Database& db, Node& node);

// True when the node and every folder above it are neither trashed nor purged.
bool isLive(Database& db, const Node& node);
// A live sibling under `parent` named `name`, other than `except`.
std::optional<Node> liveSibling(Database& db, std::int64_t parent, const std::string& name,
                                std::int64_t except);

}  // namespace tw::server::rows

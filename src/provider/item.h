#pragma once
// The items the extension hands to the host: one per service node, and the root and trash containers.
// Immutable; every property is computed from the stored fields on each read.

#include <string>

#include "platform/host/item.h"
#include "records/node.h"

namespace tw {

class Item : public host::Item {
public:
    explicit Item(Node node) : node_(std::move(node)) {}

    const Node& node() const { return node_; }

    host::ItemIdentifier itemIdentifier() const override { return node_.id; }
    // The trash for a node in the trash, else its parent, else the root.
    host::ItemIdentifier parentItemIdentifier() const override;
    std::string filename() const override { return node_.name; }
    // Folder for a folder; else the type of the name's extension, else that of the node's MIME type, else
    // generic data: the name decides before the service's MIME type.
    std::optional<ContentType> contentType() const override;
    std::uint64_t capabilities() const override;
    // Content version: the node's "rev" ("-" without one); metadata version: its "version" in decimal.
    host::ItemVersion itemVersion() const override;
    std::optional<std::int64_t> documentSize() const override;
    std::optional<host::Date> creationDate() const override;
    std::optional<host::Date> contentModificationDate() const override;

private:
    Node node_;
};

class RootItem : public host::Item {
public:
    explicit RootItem(std::string name) : name_(std::move(name)) {}
    host::ItemIdentifier itemIdentifier() const override { return host::rootContainer; }
    host::ItemIdentifier parentItemIdentifier() const override { return host::rootContainer; }
    std::string filename() const override { return name_; }
    std::optional<ContentType> contentType() const override { return ContentType::folder(); }
    std::uint64_t capabilities() const override { return host::allowsReading | host::allowsWriting; }
    host::ItemVersion itemVersion() const override { return {"1", "1"}; }

private:
    std::string name_;
};

class TrashItem : public host::Item {
public:
    host::ItemIdentifier itemIdentifier() const override { return host::trashContainer; }
    host::ItemIdentifier parentItemIdentifier() const override { return host::rootContainer; }
    std::string filename() const override { return "Lixeira"; }
    std::optional<ContentType> contentType() const override { return ContentType::folder(); }
    std::uint64_t capabilities() const override { return host::allowsReading; }
    host::ItemVersion itemVersion() const override { return {"1", "1"}; }
};

}  // namespace tw

#include "mount/inode_table.h"

#include <algorithm>

#include "platform/uuid.h"

namespace tw::mount {

namespace {
const std::string localPrefix = "\x02local-";
}

host::ItemIdentifier localIdentity(std::uint64_t number) {
    // A run of its own in each: an identity the journal kept from an earlier run is never made again.
    static const std::string run = randomUUID().substr(0, 8) + "-";
    return localPrefix + run + std::to_string(number);
}

bool isLocalIdentity(const host::ItemIdentifier& identifier) {
    return identifier.starts_with(localPrefix);
}

InodeTable::InodeTable() {
    entries_[rootInode] = Entry{host::rootContainer, 1, std::nullopt};
    current_[host::rootContainer] = rootInode;
}

Inode InodeTable::inodeFor(const host::ItemIdentifier& identifier) {
    if (const auto known = current_.find(identifier); known != current_.end()) return known->second;
    const Inode inode = next_++;
    entries_[inode] = Entry{identifier, 0, std::nullopt};
    current_[identifier] = inode;
    return inode;
}

std::optional<Inode> InodeTable::knownInode(const host::ItemIdentifier& identifier) const {
    if (const auto known = current_.find(identifier); known != current_.end()) return known->second;
    return std::nullopt;
}

const InodeTable::Entry* InodeTable::find(Inode inode) const {
    const auto entry = entries_.find(inode);
    return entry == entries_.end() ? nullptr : &entry->second;
}

void InodeTable::countLookup(Inode inode) {
    if (const auto entry = entries_.find(inode); entry != entries_.end()) ++entry->second.lookups;
}

void InodeTable::forget(Inode inode, std::uint64_t count) {
    const auto entry = entries_.find(inode);
    if (entry == entries_.end() || inode == rootInode) return;
    entry->second.lookups -= std::min(count, entry->second.lookups);
    if (entry->second.lookups > 0) return;
    if (const auto current = current_.find(entry->second.identifier);
        current != current_.end() && current->second == inode)
        current_.erase(current);
    entries_.erase(entry);
}

std::optional<Inode> InodeTable::supersede(const host::ItemIdentifier& identifier, const ItemRecord& before) {
    const auto current = current_.find(identifier);
    if (current == current_.end()) return std::nullopt;
    const Inode inode = current->second;
    current_.erase(current);
    auto& entry = entries_.at(inode);
    if (entry.lookups == 0) {
        entries_.erase(inode);  // the kernel holds nothing of it
        return std::nullopt;
    }
    entry.superseded = before;
    return inode;
}

void InodeTable::rename(const host::ItemIdentifier& from, const host::ItemIdentifier& to) {
    const auto current = current_.find(from);
    if (current == current_.end()) return;
    const Inode inode = current->second;
    current_.erase(current);
    current_[to] = inode;
    entries_.at(inode).identifier = to;
}

}  // namespace tw::mount

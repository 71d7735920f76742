#pragma once
// The inode numbers the kernel knows the mount's items by, and how many lookups of each it holds.
//
// A folder keeps one inode for as long as the kernel knows it. A file has one inode per content version: when
// its contents change, the inode it had goes on standing for the old version (with the record it had then)
// until the kernel forgets it, and the next lookup makes a fresh one. The kernel's page cache belongs to an
// inode, so pages that a handle of the old version reads in can never reach an open of the new one.
//
// Not thread-safe: the item catalog guards it with its own lock.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "mount/item_record.h"

namespace tw::mount {

// An inode number as FUSE's fuse_ino_t holds it. 1 is the root (FUSE_ROOT_ID); 0 names no inode.
using Inode = std::uint64_t;
inline constexpr Inode rootInode = 1;

// Identities of items made on this machine that the service does not know yet; their creation on the
// service replaces them by the service's identifier. They start with a byte no service identifier holds,
// and differ from every run's before.
host::ItemIdentifier localIdentity(std::uint64_t number);
bool isLocalIdentity(const host::ItemIdentifier& identifier);

class InodeTable {
public:
    struct Entry {
        host::ItemIdentifier identifier;
        std::uint64_t lookups = 0;
        // Set once the item's contents changed: the record of the version this inode still stands for.
        std::optional<ItemRecord> superseded;
    };

    // The root container holds the root inode, with one lookup that is never forgotten.
    InodeTable();

    // The inode the item is known by now, made (with no lookup) when it has none.
    Inode inodeFor(const host::ItemIdentifier& identifier);
    std::optional<Inode> knownInode(const host::ItemIdentifier& identifier) const;
    const Entry* find(Inode inode) const;

    // The kernel learned of the inode (a lookup, or an entry of a listing it took), or forgets `count` of
    // those; at none the inode is gone and its number never comes back. The root is never forgotten.
    void countLookup(Inode inode);
    void forget(Inode inode, std::uint64_t count);

    // The item's contents are no longer those of `before`: its inode, if it has one, keeps standing for
    // `before` and the item gets a fresh inode at its next lookup. Returns the superseded inode.
    std::optional<Inode> supersede(const host::ItemIdentifier& identifier, const ItemRecord& before);
    // The item known as `from` (a local identity) is now `to`: the kernel keeps the same inode.
    void rename(const host::ItemIdentifier& from, const host::ItemIdentifier& to);

private:
    std::unordered_map<Inode, Entry> entries_;
    std::unordered_map<host::ItemIdentifier, Inode> current_;  // the inode each item is known by now
    Inode next_ = rootInode + 1;
};

}  // namespace tw::mount

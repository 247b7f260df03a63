// The mount's inodes: one per name the kernel was given, each knowing its
// parent and name, so that every request can be turned back into a path on
// the drive ("\??\X:\Docs\plan.txt"). Paths are rebuilt on every request:
// a rename moves an inode, and everything below it follows.
//
// Lifetime: an inode is counted once per lookup reply the kernel received
// (Nlookup) and leaves the table when the kernel forgets it. Its record lives
// on while a child still names it as parent or a request holds it.
//
// Locking: one mutex guards the table and every field marked so below; it is
// a leaf lock (nothing else is taken while it is held).
#pragma once

#include "fuse_api.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korin::fuse {

// Who serves an item, as the open of its path showed.
enum class ItemKind : uint8_t {
    DriveRoot,  // the drive's root
    Virtual,    // a folder served by the drive's own volume device
    Host,       // a real file or directory: the open ended on a host descriptor
    Other,      // served by another device without a host descriptor
};

// Served without data by some driver: the folders the drive keeps itself.
inline bool IsVirtualKind(ItemKind kind) { return kind != ItemKind::Host; }

// Identity and version of a real item as Linux was shown it.
struct ChangeStamp {
    uint64_t Device = 0;
    uint64_t Inode = 0;
    int64_t Size = 0;
    int64_t ModifiedNs = 0;
    int64_t ChangedNs = 0;
    bool operator==(const ChangeStamp&) const = default;
};

struct Inode {
    explicit Inode(fuse_ino_t ino) : Ino(ino) {}
    Inode(const Inode&) = delete;
    Inode& operator=(const Inode&) = delete;

    const fuse_ino_t Ino;
    // Under the table's mutex:
    std::shared_ptr<Inode> Parent;  // NULL for the root
    std::u16string Name;            // the component, as the kernel asked for it
    ItemKind Kind = ItemKind::Virtual;
    bool Directory = false;
    uint64_t Nlookup = 0;
    bool Named = true;  // (Parent, Name) still leads here; false once removed or replaced
    std::optional<ChangeStamp> CacheStamp;  // the real file as the kernel's page cache holds it
    std::chrono::steady_clock::time_point ListedAt{};  // a directory's last listing served to the kernel
};

class InodeTable {
public:
    // rootPath: the drive's link, "\??\X:".
    explicit InodeTable(std::u16string rootPath);
    InodeTable(const InodeTable&) = delete;
    InodeTable& operator=(const InodeTable&) = delete;

    std::shared_ptr<Inode> Find(fuse_ino_t ino) const;
    std::shared_ptr<Inode> Root() const { return root_; }

    // The syscall path of an inode: "\??\X:\" for the root, "\??\X:\a\b" below.
    std::u16string PathOf(const Inode& inode) const;
    // The path of name inside directory parent.
    std::u16string ChildPath(const Inode& parent, std::u16string_view name) const;
    // FALSE once the inode's name was removed or given to another item.
    bool IsNamed(const Inode& inode) const;

    // Counts one lookup of (parent, name): the inode already known there when
    // it is of the same kind and type, else a new one (the old one loses the
    // name: the kernel must not take the new item for it).
    std::shared_ptr<Inode> Remember(const std::shared_ptr<Inode>& parent, const std::u16string& name, ItemKind kind,
                                    bool directory);
    // The kernel dropped n lookups of ino.
    void Forget(fuse_ino_t ino, uint64_t n);
    // The name was removed (unlink, rmdir).
    void Unname(fuse_ino_t parent, const std::u16string& name);
    // The item at (parent, name) now lives at (newParent, newName); an item the
    // new name had is replaced.
    void Move(fuse_ino_t parent, const std::u16string& name, const std::shared_ptr<Inode>& newParent,
              const std::u16string& newName);

    // Swaps the recorded page-cache stamp; returns the previous one.
    std::optional<ChangeStamp> ExchangeCacheStamp(Inode& inode, const ChangeStamp& stamp);
    void SetCacheStamp(Inode& inode, const ChangeStamp& stamp);

    // When a directory's listing was last served to the kernel (the epoch: never, or dropped).
    void SetListedAt(Inode& inode, std::chrono::steady_clock::time_point when);
    std::chrono::steady_clock::time_point ListedAt(const Inode& inode) const;

    // The inode named (parent, name), if any.
    fuse_ino_t LookupName(fuse_ino_t parent, const std::u16string& name) const;

    // Names the kernel may hold inside the drive's own folders (parent kind
    // DriveRoot or Virtual): what a change behind its back can make stale.
    struct Entry {
        fuse_ino_t Parent;
        std::u16string Name;
    };
    std::vector<Entry> NamesInVirtualFolders() const;
    // Inodes of the drive's own folders.
    std::vector<fuse_ino_t> VirtualFolders() const;

    size_t Size() const;

private:
    struct NameKey {
        fuse_ino_t Parent;
        std::u16string Name;
        bool operator==(const NameKey&) const = default;
    };
    struct NameKeyHash {
        size_t operator()(const NameKey& k) const noexcept {
            return std::hash<std::u16string>()(k.Name) ^ (k.Parent * 0x9E3779B97F4A7C15ull);
        }
    };

    void UnnameLocked(const NameKey& key);
    void AppendPathLocked(const Inode& inode, std::u16string* out) const;

    const std::u16string rootPath_;
    mutable std::mutex mutex_;
    std::shared_ptr<Inode> root_;
    std::unordered_map<fuse_ino_t, std::shared_ptr<Inode>> byIno_;
    std::unordered_map<NameKey, std::shared_ptr<Inode>, NameKeyHash> byName_;
    fuse_ino_t next_ = FUSE_ROOT_ID + 1;  // never reused: an inode number names one item for the mount's life
};

}  // namespace korin::fuse

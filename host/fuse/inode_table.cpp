// The mount's inode table.
#include "inode_table.h"

#include <cstdio>
#include <cstdlib>

namespace korin::fuse {

InodeTable::InodeTable(std::u16string rootPath) : rootPath_(std::move(rootPath)) {
    root_ = std::make_shared<Inode>(FUSE_ROOT_ID);
    root_->Kind = ItemKind::DriveRoot;
    root_->Directory = true;
    root_->Nlookup = 1;  // the kernel holds the root for the mount's life
    byIno_.emplace(FUSE_ROOT_ID, root_);
}

std::shared_ptr<Inode> InodeTable::Find(fuse_ino_t ino) const {
    std::lock_guard lock(mutex_);
    auto it = byIno_.find(ino);
    return it == byIno_.end() ? nullptr : it->second;
}

// Appends "\a\b" for the inode's chain of names below the root; iterative,
// since folder trees can be deep.
void InodeTable::AppendPathLocked(const Inode& inode, std::u16string* out) const {
    std::vector<const Inode*> chain;
    for (const Inode* at = &inode; at->Parent; at = at->Parent.get()) chain.push_back(at);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        out->push_back(u'\\');
        out->append((*it)->Name);
    }
}

std::u16string InodeTable::PathOf(const Inode& inode) const {
    std::lock_guard lock(mutex_);
    std::u16string path = rootPath_;
    AppendPathLocked(inode, &path);
    if (!inode.Parent) path.push_back(u'\\');
    return path;
}

std::u16string InodeTable::ChildPath(const Inode& parent, std::u16string_view name) const {
    std::lock_guard lock(mutex_);
    std::u16string path = rootPath_;
    AppendPathLocked(parent, &path);
    path.push_back(u'\\');
    path.append(name);
    return path;
}

bool InodeTable::IsNamed(const Inode& inode) const {
    std::lock_guard lock(mutex_);
    return inode.Named;
}

std::shared_ptr<Inode> InodeTable::Remember(const std::shared_ptr<Inode>& parent, const std::u16string& name,
                                            ItemKind kind, bool directory) {
    std::lock_guard lock(mutex_);
    NameKey key{parent->Ino, name};
    auto it = byName_.find(key);
    if (it != byName_.end()) {
        std::shared_ptr<Inode> known = it->second;
        if (known->Kind == kind && known->Directory == directory) {
            ++known->Nlookup;
            return known;
        }
        UnnameLocked(key);
    }
    auto inode = std::make_shared<Inode>(next_++);
    inode->Parent = parent;
    inode->Name = name;
    inode->Kind = kind;
    inode->Directory = directory;
    inode->Nlookup = 1;
    byIno_.emplace(inode->Ino, inode);
    byName_.emplace(std::move(key), inode);
    return inode;
}

void InodeTable::Forget(fuse_ino_t ino, uint64_t n) {
    std::lock_guard lock(mutex_);
    auto it = byIno_.find(ino);
    if (it == byIno_.end()) return;
    std::shared_ptr<Inode> inode = it->second;
    if (inode->Nlookup < n) {
        std::fprintf(stderr, "korin-fuse: INTERNAL FAULT: inode %llu forgotten %llu times, looked up %llu\n",
                     static_cast<unsigned long long>(ino), static_cast<unsigned long long>(n),
                     static_cast<unsigned long long>(inode->Nlookup));
        std::abort();
    }
    inode->Nlookup -= n;
    if (inode->Nlookup > 0 || ino == FUSE_ROOT_ID) return;
    byIno_.erase(it);
    if (inode->Named && inode->Parent) {
        NameKey key{inode->Parent->Ino, inode->Name};
        auto named = byName_.find(key);
        if (named != byName_.end() && named->second == inode) byName_.erase(named);
    }
}

void InodeTable::UnnameLocked(const NameKey& key) {
    auto it = byName_.find(key);
    if (it == byName_.end()) return;
    it->second->Named = false;
    byName_.erase(it);
}

void InodeTable::Unname(fuse_ino_t parent, const std::u16string& name) {
    std::lock_guard lock(mutex_);
    UnnameLocked(NameKey{parent, name});
}

void InodeTable::Move(fuse_ino_t parent, const std::u16string& name, const std::shared_ptr<Inode>& newParent,
                      const std::u16string& newName) {
    std::lock_guard lock(mutex_);
    NameKey from{parent, name};
    NameKey to{newParent->Ino, newName};
    if (from == to) return;
    auto it = byName_.find(from);
    std::shared_ptr<Inode> moved = it == byName_.end() ? nullptr : it->second;
    if (moved) byName_.erase(it);
    UnnameLocked(to);
    if (!moved) return;
    moved->Parent = newParent;
    moved->Name = newName;
    byName_.emplace(std::move(to), moved);
}

std::optional<ChangeStamp> InodeTable::ExchangeCacheStamp(Inode& inode, const ChangeStamp& stamp) {
    std::lock_guard lock(mutex_);
    std::optional<ChangeStamp> previous = inode.CacheStamp;
    inode.CacheStamp = stamp;
    return previous;
}

void InodeTable::SetCacheStamp(Inode& inode, const ChangeStamp& stamp) {
    std::lock_guard lock(mutex_);
    inode.CacheStamp = stamp;
}

void InodeTable::SetListedAt(Inode& inode, std::chrono::steady_clock::time_point when) {
    std::lock_guard lock(mutex_);
    inode.ListedAt = when;
}

std::chrono::steady_clock::time_point InodeTable::ListedAt(const Inode& inode) const {
    std::lock_guard lock(mutex_);
    return inode.ListedAt;
}

fuse_ino_t InodeTable::LookupName(fuse_ino_t parent, const std::u16string& name) const {
    std::lock_guard lock(mutex_);
    auto it = byName_.find(NameKey{parent, name});
    return it == byName_.end() ? 0 : it->second->Ino;
}

std::vector<InodeTable::Entry> InodeTable::NamesInVirtualFolders() const {
    std::lock_guard lock(mutex_);
    std::vector<Entry> entries;
    for (const auto& [key, inode] : byName_) {
        ItemKind parentKind = inode->Parent->Kind;
        if (parentKind == ItemKind::DriveRoot || parentKind == ItemKind::Virtual) entries.push_back({key.Parent, key.Name});
    }
    return entries;
}

std::vector<fuse_ino_t> InodeTable::VirtualFolders() const {
    std::lock_guard lock(mutex_);
    std::vector<fuse_ino_t> folders;
    for (const auto& [ino, inode] : byIno_) {
        if (inode->Kind == ItemKind::DriveRoot || inode->Kind == ItemKind::Virtual) folders.push_back(ino);
    }
    return folders;
}

size_t InodeTable::Size() const {
    std::lock_guard lock(mutex_);
    return byIno_.size();
}

}  // namespace korin::fuse

// What the request handlers share: reaching the mount and the inode of a
// request, running a handler so that nothing escapes it, filling entries.
//
// Handler shape: the work happens in a Do* routine that returns an errno;
// the callback then sends exactly one reply. Exceptions never reach libfuse.
#pragma once

#include "attributes.h"
#include "drive_fs.h"
#include "log.h"
#include "nt_file.h"
#include "status_errno.h"

#include <cerrno>
#include <new>
#include <stdexcept>

namespace korin::fuse {

inline DriveFs& FsOf(fuse_req_t req) { return *static_cast<DriveFs*>(fuse_req_userdata(req)); }

// Runs work, turning whatever it throws into an errno.
template <typename Work>
int Guarded(const char* operation, Work&& work) noexcept {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    } catch (const std::exception& e) {
        Log("%s: unexpected exception: %s", operation, e.what());
        return EIO;
    } catch (...) {
        Log("%s: unexpected exception", operation);
        return EIO;
    }
}

// The inode of a request, or NULL when the kernel names one the mount does
// not know (a request racing its own forget cannot happen; this guards
// against a confused kernel, not a normal case).
std::shared_ptr<Inode> InodeOf(DriveFs& fs, fuse_ino_t ino);

// The path of a child of parent; ENOENT when parent's own name is gone
// (a directory removed while a program still sits in it), EINVAL for a name
// a syscall path cannot hold.
int ChildPathOf(DriveFs& fs, const Inode& parent, const char* name, std::u16string* wideName, std::u16string* path);
// The path of an inode itself; ENOENT once its name is gone.
int PathOfInode(DriveFs& fs, const Inode& inode, std::u16string* path);

// Looks up (parent, wideName): opens it, describes it and counts the lookup.
int LookupChild(DriveFs& fs, const std::shared_ptr<Inode>& parent, const std::u16string& wideName,
                fuse_entry_param* entry);
// Counts a lookup of an item the caller has open (mkdir, create).
void RememberOpened(DriveFs& fs, const std::shared_ptr<Inode>& parent, const std::u16string& wideName,
                    const ItemInfo& info, fuse_entry_param* entry);

// Fills attributes and timeouts of an entry for inode.
void FillEntry(DriveFs& fs, const Inode& inode, ItemKind parentKind, const ItemInfo& info, fuse_entry_param* entry);

// The handler tables of each group of operations.
void AddLookupOperations(fuse_lowlevel_ops* ops);     // ops_lookup.cpp
void AddDirectoryOperations(fuse_lowlevel_ops* ops);  // ops_dir.cpp
void AddFileOperations(fuse_lowlevel_ops* ops);       // ops_file.cpp
void AddChangeOperations(fuse_lowlevel_ops* ops);     // ops_change.cpp
void AddVolumeOperations(fuse_lowlevel_ops* ops);     // ops_volume.cpp

}  // namespace korin::fuse

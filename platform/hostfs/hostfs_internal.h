// The host file system's records and the routines its files share.
//
// Records:
//   HOST_VOLUME  one per host drive letter, one for UNC (Mup). Made by the
//                configuration, pointed to by its device's extension, freed
//                at unload or, when opens remain then, by the last of their
//                closes. A letter dropped by a later configuration loses its
//                link but keeps its device and record, so handles opened
//                through it keep working; adding the letter again revives it.
//   HOST_FILE    one per host inode with open file objects (FsContext): the
//                share access and the delete-pending state every open of that
//                file shares. Made by the first create, freed by the last close.
//   HOST_OPEN    one per file object (FsContext2): the host descriptor, the
//                granted access, the path it was opened by and the directory
//                enumeration state.
//
// Lock table (take in this order, release in the opposite one):
//
//   | lock                 | guards                                          |
//   |----------------------|-------------------------------------------------|
//   | ConfigLock (shared)  | the configuration, HOST_VOLUME Root and Linked  |
//   |                      | shared: create; exclusive: Configure, unload    |
//   | TableLock            | the file table, every HOST_FILE field but its   |
//   |                      | key, HOST_OPEN Path, the open list; held across |
//   |                      | renames and deletes so paths change atomically  |
//   | HOST_OPEN ScanLock   | the open's DIR_SCAN (one query at a time)       |
//
// Handler contract: every Common routine returns a status and the IRP's
// Information; the one dispatch wrapper in driver.cpp completes the request,
// catching raised statuses. No handler completes a request itself.
#pragma once

#include "hostfs.h"
#include "platform/nt/ntddk.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace korin::hostfs {

constexpr SHORT HOSTFS_NTC_VOLUME = 0x0901;
constexpr SHORT HOSTFS_NTC_FILE = 0x0902;
constexpr SHORT HOSTFS_NTC_OPEN = 0x0903;

constexpr ULONG TAG_FILE = PoolTag("HfFi");
constexpr ULONG TAG_OPEN = PoolTag("HfOp");
constexpr ULONG TAG_SCAN = PoolTag("HfDs");

struct DIR_SCAN;

struct HOST_VOLUME {
    SHORT NodeTypeCode;
    SHORT NodeByteSize;
    // Read-only after creation:
    char16_t Letter;  // 0 for UNC
    bool Unc;
    PDEVICE_OBJECT Device;
    std::u16string DeviceName;  // "\Device\HostVolumeC", "\Device\Mup"
    std::u16string LinkName;    // "\??\C:", "\??\UNC"
    // Under ConfigLock:
    std::string Root;  // absolute host directory, no trailing '/' but for "/" itself
    bool HasRoot;      // UNC: a root is configured (drives: always)
    bool Linked;       // the link exists; a dropped letter refuses new opens
    // Under TableLock:
    ULONG Opens;   // HOST_OPENs made through the volume and not yet closed
    bool Deleted;  // the driver was unloaded: the last close frees the record
};

struct FILE_KEY {
    dev_t Device;
    ino_t Inode;
    bool operator==(const FILE_KEY&) const = default;
};

struct HOST_FILE {
    FSRTL_COMMON_FCB_HEADER Header;  // NodeTypeCode HOSTFS_NTC_FILE
    // Read-only after creation:
    FILE_KEY Key;
    // Under TableLock:
    SHARE_ACCESS ShareAccess;
    ULONG OpenCount;     // file objects not yet closed
    ULONG HandleCount;   // file objects not yet cleaned up
    bool DeletePending;  // remove at the last cleanup
    std::string DeletePath;  // the name to remove: the one the delete was asked through
    bool InTable;        // false once the name is gone, so a reused inode gets a new record
};

struct HOST_OPEN {
    SHORT NodeTypeCode;
    SHORT NodeByteSize;
    // Read-only after creation:
    HOST_VOLUME* Volume;
    HOST_FILE* File;
    int Fd;  // O_PATH, or opened for the data access granted; closed at close
    bool Directory;
    bool Root;  // a volume root or a UNC share: never deleted or renamed
    ACCESS_MASK Granted;
    bool CanRead;
    bool CanWrite;
    // Under TableLock:
    std::string Path;  // absolute host path the open was made by (kept current across renames)
    size_t RootLength;  // bytes of Path that are the volume's root directory
    bool DeleteOnClose;
    bool CleanedUp;
    LIST_ENTRY OpenLinks;  // in the list of all opens
    // Directory enumeration, under ScanLock:
    std::mutex ScanLock;
    DIR_SCAN* Scan;
};

// ----- Locks and tables (filetable.cpp) ------------------------------------------
std::shared_mutex& ConfigLock();
std::mutex& TableLock();

// Finds or makes the record of an inode and counts one more open of it.
// TableLock held. NULL when pool is exhausted.
HOST_FILE* ReferenceFile(const FILE_KEY& key);
// Counts one open less; frees the record with its last open. TableLock held.
void DereferenceFile(HOST_FILE* file);
// The record of an inode if some open holds it, else NULL. TableLock held.
HOST_FILE* LookupFile(const FILE_KEY& key);
// Drops the record from the table (its name was removed). TableLock held.
void ForgetFile(HOST_FILE* file);
// Makes and frees HOST_OPENs, kept in the list of all opens. TableLock held.
HOST_OPEN* AllocateOpen();
void FreeOpen(HOST_OPEN* open);
// After a rename of from to to: every open whose path is from or lies below
// it now has the new path. TableLock held.
void RenameOpenPaths(const std::string& from, const std::string& to);

// ----- Volumes (volumes.cpp) ------------------------------------------------------
HOST_VOLUME* VolumeOf(PDEVICE_OBJECT device);
// Creates the devices and links of the stored configuration (DriverEntry).
NTSTATUS CreateVolumes(PDRIVER_OBJECT driver);
// Deletes every link, device and volume record (unload); records with opens
// left are freed by the last close.
void DeleteVolumes();
// Counts an open of the volume less; frees a deleted volume with its last
// open. TableLock held.
void ReleaseVolumeOpen(HOST_VOLUME* volume);

// ----- Names (names.cpp) ------------------------------------------------------------
// UTF-16 to the host's UTF-8. Bytes of a host name that are not UTF-8 appear
// as U+DC80..U+DCFF and convert back to themselves, so every host name
// round-trips. FALSE for a name Linux cannot hold: a '/', a NUL, a surrogate
// that stands for no byte, or a name that would alias another (the
// conversion back does not give the same name).
bool ToHostName(std::u16string_view name, std::string* out);
void ToWideName(std::string_view name, std::u16string* out);
// Upper-cases in place with the system's table.
void UpcaseName(std::u16string* name);
// TRUE when the names are equal without case.
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
// Splits a backslash-separated name into host components. Leading backslash
// optional; one trailing backslash allowed (trailingSlash set). Empty
// components, "." and ".." and names Linux cannot hold give
// STATUS_OBJECT_NAME_INVALID.
NTSTATUS SplitName(std::u16string_view name, std::vector<std::string>* components, bool* trailingSlash);
// The last component of an absolute host path ("" for "/") and the directory
// holding it ("/" for "/a").
std::string_view LastComponent(std::string_view path);
std::string_view ParentOf(std::string_view path);
// Joins a directory path and a name without doubling the '/' of "/".
std::string JoinPath(std::string_view directory, std::string_view name);

// ----- Lookup (lookup.cpp) -----------------------------------------------------------
// The name of directory's entry equal to name without case: name itself when
// it exists exactly, else the first case-insensitive match. FALSE when there
// is none. *error receives the errno when the directory cannot be read.
bool FindEntryNoCase(const std::string& directory, const std::string& name, std::string* found, int* error);

// Calls visit with every name of an open directory but "." and "..", from
// its start, until visit returns FALSE. Returns 0 or an errno.
template <typename Visit>
int ForEachName(int dirfd, Visit visit);

struct RESOLVED_PATH {
    std::string Parent;  // host directory holding the leaf (empty when Components was empty)
    std::string Leaf;    // the entry's name on disk when it exists, else the name asked for
    bool Exists;
    std::string Full() const { return Leaf.empty() ? Parent : JoinPath(Parent, Leaf); }
};
// Walks components below base, each matched exact first, then without case.
// A missing or non-directory intermediate component gives
// STATUS_OBJECT_PATH_NOT_FOUND; a missing last one Exists false. missingAt
// receives the index of the component not found (components.size() when all were).
NTSTATUS ResolvePath(const std::string& base, const std::vector<std::string>& components, RESOLVED_PATH* out,
                     size_t* missingAt);

// ----- Errors and attributes (errors.cpp, attributes.cpp) ----------------------------
NTSTATUS StatusFromErrno(int error);

struct HOST_STAT {
    struct statx Stx;
    LONGLONG CreationTime, LastAccessTime, LastWriteTime, ChangeTime;
    LONGLONG EndOfFile, AllocationSize;
    ULONG Attributes;
    bool Directory;
};
// Fills out from statx of (dirfd, path, flags); hidden adds
// FILE_ATTRIBUTE_HIDDEN (IsHiddenName of the entry's name). Returns 0 or an errno.
int StatEntry(int dirfd, const char* path, int flags, bool hidden, HOST_STAT* out);
// A dot name other than "." and "..".
bool IsHiddenName(std::string_view name);
// The same for an open's descriptor.
int StatOpen(const HOST_OPEN* open, HOST_STAT* out);
LONGLONG UnixTimeToNt(int64_t seconds, uint32_t nanoseconds);
// The Unix time of an NT time (100 ns units since 1601-01-01).
void NtTimeToUnix(LONGLONG time, struct timespec* ts);
bool IsReadOnlyMode(mode_t mode);

// ----- Buffers (buffers.cpp) ----------------------------------------------------------
// The output buffer of a request that writes into the caller's memory
// (read, directory query): the system buffer of buffered I/O, else the MDL's
// mapping, else the user buffer, probed for write when the caller is user
// mode. Raises STATUS_ACCESS_VIOLATION for a bad caller buffer; NULL when
// there is none.
PVOID OutputBuffer(PIRP irp, ULONG length);
// The input buffer of a write.
PVOID InputBuffer(PIRP irp, ULONG length);
// The buffer of an information request (query/set file or volume information).
PVOID InfoBuffer(PIRP irp, ULONG length, bool forWrite);
// A string "/proc/self/fd/N" naming the file behind a descriptor, for calls
// that take no descriptor of an O_PATH open (chmod, utimensat, truncate).
std::string DescriptorPath(int fd);

// ----- Request handlers --------------------------------------------------------------
NTSTATUS CommonCreate(HOST_VOLUME* volume, PIRP irp, ULONG_PTR* information);          // create.cpp
NTSTATUS CommonRead(HOST_OPEN* open, PIRP irp, ULONG_PTR* information);                // readwrite.cpp
NTSTATUS CommonWrite(HOST_OPEN* open, PIRP irp, ULONG_PTR* information);               // readwrite.cpp
NTSTATUS CommonFlush(HOST_OPEN* open, PIRP irp, ULONG_PTR* information);               // readwrite.cpp
NTSTATUS CommonQueryInformation(HOST_OPEN* open, PIRP irp, ULONG_PTR* information);    // fileinfo.cpp
NTSTATUS CommonSetInformation(HOST_OPEN* open, PIRP irp, ULONG_PTR* information);      // setinfo.cpp
NTSTATUS CommonRename(HOST_OPEN* open, PIRP irp);                                      // rename.cpp
NTSTATUS CommonDirectoryControl(HOST_OPEN* open, PIRP irp, ULONG_PTR* information);    // dirctrl.cpp
NTSTATUS CommonQueryVolumeInformation(HOST_OPEN* open, PIRP irp, ULONG_PTR* information);  // volinfo.cpp
NTSTATUS CommonCleanup(HOST_OPEN* open, PIRP irp);                                     // cleanup.cpp
NTSTATUS CommonClose(HOST_OPEN* open, PIRP irp);                                       // cleanup.cpp
// Frees an open's enumeration state (close).                                         // dirctrl.cpp
void FreeScan(HOST_OPEN* open);
// Checks a directory has no entries besides "." and "..".                            // setinfo.cpp
NTSTATUS CheckDirectoryEmpty(int fd);

template <typename Visit>
int ForEachName(int dirfd, Visit visit) {
    if (lseek(dirfd, 0, SEEK_SET) != 0) return errno;
    alignas(8) char buffer[32768];
    for (;;) {
        long n = syscall(SYS_getdents64, dirfd, buffer, sizeof(buffer));
        if (n < 0) return errno;
        if (n == 0) return 0;
        for (long at = 0; at < n;) {
            auto* entry = reinterpret_cast<struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            std::string_view name(entry->d_name);
            if (name == "." || name == "..") continue;
            if (!visit(name)) return 0;
        }
    }
}

}  // namespace korin::hostfs

template <>
struct std::hash<korin::hostfs::FILE_KEY> {
    size_t operator()(const korin::hostfs::FILE_KEY& k) const noexcept {
        return std::hash<uint64_t>()(static_cast<uint64_t>(k.Inode) * 0x9E3779B97F4A7C15ull ^ k.Device);
    }
};

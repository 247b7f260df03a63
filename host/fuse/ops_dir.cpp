// Listing directories: opendir, readdir, readdirplus, releasedir.
//
// A listing is the directory query of the folder's open handle, read whole
// when a scan starts at offset 0 and served from there by position. The
// drive's own folders are asked for names only: whether a mapping is shown
// is decided by looking its name up (a mapping whose target is gone is left
// out, as the drive's own listing would), so the targets are not opened
// twice. Real directories give types with their names.
//
// The kernel may keep a listing (FOPEN_CACHE_DIR) for as long as the
// attributes of real items: a real directory's cached listing is also dropped
// by the kernel when its times change, and the drive's own folders' listings
// are dropped whenever the drive changes behind the kernel's back.
#include "names.h"
#include "ops_common.h"

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <vector>

namespace korin::fuse {
namespace {

constexpr ULONG kQueryBufferBytes = 64 * 1024;

// A stand-in inode number for an entry the kernel has no inode of yet
// (plain readdir): stable per name and never 0, which some programs take
// for an empty slot.
ino_t PlaceholderIno(const std::string& name) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
    return static_cast<ino_t>(hash | (1ull << 63));
}

// Where the fields of an entry of the two classes read are.
struct EntryLayout {
    size_t NameLengthAt;
    size_t NameAt;
    bool HasAttributes;
};
constexpr EntryLayout kNamesLayout{offsetof(FILE_NAMES_INFORMATION, FileNameLength),
                                   offsetof(FILE_NAMES_INFORMATION, FileName), false};
constexpr EntryLayout kDirectoryLayout{offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength),
                                       offsetof(FILE_DIRECTORY_INFORMATION, FileName), true};

template <typename T>
T ReadField(const std::byte* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Parses one buffer of entries, trusting no offset beyond the bytes the
// query returned. Names Linux cannot show and files removed while open are
// left out.
void ParseEntries(DriveFs& fs, fuse_ino_t dirIno, const std::u16string& folder, const EntryLayout& layout,
                  const std::byte* buffer, size_t bytes, std::vector<DirEntry>* out) {
    size_t offset = 0;
    while (offset + layout.NameAt <= bytes) {
        const std::byte* entry = buffer + offset;
        ULONG next = ReadField<ULONG>(entry);
        size_t nameBytes = ReadField<ULONG>(entry + layout.NameLengthAt);
        if (offset + layout.NameAt + nameBytes > bytes || nameBytes % 2) break;
        std::u16string name(nameBytes / 2, u'\0');
        std::memcpy(name.data(), entry + layout.NameAt, nameBytes);
        if (name != u"." && name != u".." && !fs.IsHidden(dirIno, name)) {
            DirEntry item;
            item.Name = std::move(name);
            if (layout.HasAttributes) {
                ULONG attributes = ReadField<ULONG>(entry + offsetof(FILE_DIRECTORY_INFORMATION, FileAttributes));
                item.TypeKnown = true;
                item.Directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            }
            if (LinuxFromWide(item.Name, &item.LinuxName)) {
                out->push_back(std::move(item));
            } else {
                std::string printable = Printable(item.Name);
                std::string where = Printable(DrivePath(folder));
                fs.LogOnce(where + "|" + printable,
                           where + ": \"" + printable + "\" is left out of the listing: Linux cannot show that name");
            }
        }
        if (next == 0) break;
        offset += next;
    }
}

// Reads the whole listing of dir afresh. Returns 0 or an errno.
int LoadListing(DriveFs& fs, OpenDir* dir) {
    std::vector<DirEntry> entries;
    entries.push_back({u".", ".", true, true});
    entries.push_back({u"..", "..", true, true});
    bool namesOnly = IsVirtualKind(dir->Node->Kind);
    const EntryLayout& layout = namesOnly ? kNamesLayout : kDirectoryLayout;
    FILE_INFORMATION_CLASS infoClass = namesOnly ? FileNamesInformation : FileDirectoryInformation;
    std::vector<std::byte> buffer(kQueryBufferBytes);
    std::u16string folder = fs.Inodes().PathOf(*dir->Node);
    for (bool first = true;; first = false) {
        IO_STATUS_BLOCK ioStatus{};
        NTSTATUS status = NtQueryDirectoryFile(dir->Handle.Get(), nullptr, nullptr, nullptr, &ioStatus, buffer.data(),
                                               kQueryBufferBytes, infoClass, FALSE, nullptr, first ? TRUE : FALSE);
        if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) break;
        if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
        size_t bytes = std::min<size_t>(ioStatus.Information, buffer.size());
        if (bytes == 0) break;
        ParseEntries(fs, dir->Node->Ino, folder, layout, buffer.data(), bytes, &entries);
    }
    dir->Entries = std::move(entries);
    fs.Inodes().SetListedAt(*dir->Node, std::chrono::steady_clock::now());
    return 0;
}

// For a plain readdir of a names-only listing: whether the entry is there
// (opened without counting a lookup) and what type it has. FALSE when it is
// gone. An entry that cannot be opened for another reason stays, of
// unknown type.
bool Probe(DriveFs& fs, OpenDir* dir, DirEntry* item) {
    if (item->TypeKnown) return true;
    std::u16string path = fs.Inodes().ChildPath(*dir->Node, item->Name);
    NtHandle handle;
    NTSTATUS status = OpenPath(path, FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &handle);
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status) != ENOENT;
    ItemInfo info;
    if (DescribeOpenItem(handle.Get(), fs.Volume(), false, &info) == ENOENT) return false;
    item->TypeKnown = true;
    item->Directory = info.Directory;
    return true;
}

void OpOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    DriveFs& fs = FsOf(req);
    OpenDir* opened = nullptr;
    bool keep = false;
    int err = Guarded("opendir", [&] {
        auto inode = InodeOf(fs, ino);
        if (!inode) return ENOENT;
        std::u16string path;
        if (int pathErr = PathOfInode(fs, *inode, &path)) return pathErr;
        auto dir = std::make_unique<OpenDir>();
        NTSTATUS status =
            OpenPath(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_DIRECTORY_FILE, &dir->Handle);
        if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
        auto age = std::chrono::steady_clock::now() - fs.Inodes().ListedAt(*inode);
        keep = age < std::chrono::duration<double>(fs.Settings().HostTimeout);
        dir->Node = std::move(inode);
        opened = fs.Opens().Adopt(std::move(dir));
        return 0;
    });
    if (err) {
        fuse_reply_err(req, err);
        return;
    }
    fi->fh = reinterpret_cast<uint64_t>(opened);
    fi->cache_readdir = 1;
    fi->keep_cache = keep ? 1 : 0;
    if (fuse_reply_open(req, fi) != 0) fs.Opens().Release(opened);
}

// Fills one reply of at most size bytes from position offset. With plus,
// every entry but "." and ".." is looked up (and counted); entries that fit
// are listed in looked, so that a reply the kernel never receives can be
// taken back.
int FillListing(fuse_req_t req, DriveFs& fs, OpenDir* dir, size_t size, off_t offset, bool plus,
                std::vector<char>* reply, std::vector<fuse_ino_t>* looked) {
    std::lock_guard lock(dir->Mutex);
    if (offset == 0 || dir->Entries.empty()) {
        if (int err = LoadListing(fs, dir)) return err;
    }
    reply->resize(size);
    size_t used = 0;
    fuse_ino_t self = dir->Node->Ino;
    fuse_ino_t parent = dir->Node->Parent ? dir->Node->Parent->Ino : self;
    for (size_t i = static_cast<size_t>(offset); i < dir->Entries.size(); ++i) {
        DirEntry& item = dir->Entries[i];
        bool dot = i < 2;
        char* at = reply->data() + used;
        size_t room = size - used;
        size_t needed;
        if (plus) {
            fuse_entry_param entry{};
            if (dot) {
                entry.attr.st_ino = i == 0 ? self : parent;
                entry.attr.st_mode = S_IFDIR;
            } else {
                int err = LookupChild(fs, dir->Node, item.Name, &entry);
                if (err == ENOENT) continue;  // a mapping whose target is gone, or gone since listed
                if (err) {
                    // Listed without attributes: the kernel looks it up itself.
                    entry = {};
                    entry.attr.st_ino = PlaceholderIno(item.LinuxName);
                    entry.attr.st_mode = item.TypeKnown ? (item.Directory ? S_IFDIR : S_IFREG) : 0;
                }
            }
            needed = fuse_add_direntry_plus(req, at, room, item.LinuxName.c_str(), &entry, static_cast<off_t>(i + 1));
            if (needed > room) {
                if (entry.ino) fs.Inodes().Forget(entry.ino, 1);
                break;
            }
            if (entry.ino) looked->push_back(entry.ino);
        } else {
            if (!dot && !Probe(fs, dir, &item)) continue;
            struct stat st{};
            if (dot) {
                st.st_ino = i == 0 ? self : parent;
            } else {
                fuse_ino_t known = fs.Inodes().LookupName(self, item.Name);
                st.st_ino = known ? known : PlaceholderIno(item.LinuxName);
            }
            st.st_mode = item.TypeKnown ? (item.Directory ? S_IFDIR : S_IFREG) : 0;
            needed = fuse_add_direntry(req, at, room, item.LinuxName.c_str(), &st, static_cast<off_t>(i + 1));
            if (needed > room) break;
        }
        used += needed;
    }
    reply->resize(used);
    return 0;
}

void ReadDirectory(fuse_req_t req, size_t size, off_t offset, fuse_file_info* fi, bool plus) {
    DriveFs& fs = FsOf(req);
    std::vector<char> reply;
    std::vector<fuse_ino_t> looked;
    int err = Guarded(plus ? "readdirplus" : "readdir", [&] {
        auto* dir = reinterpret_cast<OpenDir*>(fi->fh);
        return FillListing(req, fs, dir, size, offset, plus, &reply, &looked);
    });
    if (err) {
        for (fuse_ino_t ino : looked) fs.Inodes().Forget(ino, 1);
        fuse_reply_err(req, err);
        return;
    }
    if (fuse_reply_buf(req, reply.data(), reply.size()) != 0) {
        for (fuse_ino_t ino : looked) fs.Inodes().Forget(ino, 1);
    }
}

void OpReaddir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    ReadDirectory(req, size, offset, fi, false);
}

void OpReaddirplus(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    ReadDirectory(req, size, offset, fi, true);
}

void OpReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    Guarded("releasedir", [&] {
        FsOf(req).Opens().Release(reinterpret_cast<OpenDir*>(fi->fh));
        return 0;
    });
    fuse_reply_err(req, 0);
}

void OpFsyncdir(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) { fuse_reply_err(req, 0); }

}  // namespace

void AddDirectoryOperations(fuse_lowlevel_ops* ops) {
    ops->opendir = OpOpendir;
    ops->readdir = OpReaddir;
    ops->readdirplus = OpReaddirplus;
    ops->releasedir = OpReleasedir;
    ops->fsyncdir = OpFsyncdir;
}

}  // namespace korin::fuse

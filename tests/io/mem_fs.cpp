#include "mem_fs.h"

#include "platform/nt/fsrtl.h"
#include "platform/nt/iomgr.h"
#include "platform/nt/ob.h"

#include <algorithm>
#include <cstring>

namespace korin::test {
namespace {

std::u16string Upper(const std::u16string& s) { return io::UpcaseText(s); }

// "\a\\b\" -> "a\b": the key form of a path.
std::u16string Normalize(const std::u16string& path) {
    std::u16string out;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t end = path.find(u'\\', pos);
        if (end == std::u16string::npos) end = path.size();
        if (end > pos) {
            if (!out.empty()) out += u'\\';
            out += path.substr(pos, end - pos);
        }
        pos = end + 1;
    }
    return out;
}

std::u16string Parent(const std::u16string& path) {
    size_t split = path.rfind(u'\\');
    return split == std::u16string::npos ? u"" : path.substr(0, split);
}

std::u16string Leaf(const std::u16string& path) { return path.substr(path.rfind(u'\\') + 1); }

std::u16string Join(const std::u16string& directory, const std::u16string& name) {
    return directory.empty() ? name : directory + u'\\' + name;
}

LARGE_INTEGER Large(LONGLONG value) {
    LARGE_INTEGER l;
    l.QuadPart = value;
    return l;
}

}  // namespace

MemFs::MemFs(TestDriver& driver, const std::u16string& deviceName, const std::u16string& letter) {
    driver.AddDevice(deviceName);
    ob::CreateSymbolicLink(u"\\??\\" + letter, deviceName);
    nodes_[u""] = {u"", true, ""};
    driver.On(IRP_MJ_CREATE, [this](PDEVICE_OBJECT, PIRP irp) { return Create(irp); });
    auto withOpen = [this](NTSTATUS (MemFs::*handler)(PIRP, Open&)) {
        return [this, handler](PDEVICE_OBJECT, PIRP irp) {
            auto* open = static_cast<Open*>(irp->Stack.FileObject->FsContext2);
            return (this->*handler)(irp, *open);
        };
    };
    driver.On(IRP_MJ_QUERY_INFORMATION, withOpen(&MemFs::QueryInformation));
    driver.On(IRP_MJ_SET_INFORMATION, withOpen(&MemFs::SetInformation));
    driver.On(IRP_MJ_DIRECTORY_CONTROL, withOpen(&MemFs::QueryDirectory));
    driver.On(IRP_MJ_READ, withOpen(&MemFs::ReadWrite));
    driver.On(IRP_MJ_WRITE, withOpen(&MemFs::ReadWrite));
    driver.On(IRP_MJ_QUERY_VOLUME_INFORMATION, [this](PDEVICE_OBJECT, PIRP irp) { return QueryVolume(irp); });
    driver.On(IRP_MJ_CLEANUP, [this](PDEVICE_OBJECT, PIRP irp) {
        auto* open = static_cast<Open*>(irp->Stack.FileObject->FsContext2);
        if (open->deleteOnCleanup) {
            std::lock_guard lock(mutex_);
            nodes_.erase(open->path);
        }
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    });
    driver.On(IRP_MJ_CLOSE, [](PDEVICE_OBJECT, PIRP irp) {
        delete static_cast<Open*>(irp->Stack.FileObject->FsContext2);
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    });
}

void MemFs::AddDirectory(const std::u16string& path) {
    std::lock_guard lock(mutex_);
    std::u16string normal = Normalize(path);
    nodes_[Upper(normal)] = {Leaf(normal), true, ""};
}

void MemFs::AddFile(const std::u16string& path, const std::string& data) {
    std::lock_guard lock(mutex_);
    std::u16string normal = Normalize(path);
    nodes_[Upper(normal)] = {Leaf(normal), false, data};
}

bool MemFs::Exists(const std::u16string& path) const {
    std::lock_guard lock(mutex_);
    return nodes_.count(Upper(Normalize(path))) != 0;
}

std::string MemFs::Data(const std::u16string& path) const {
    std::lock_guard lock(mutex_);
    auto it = nodes_.find(Upper(Normalize(path)));
    return it == nodes_.end() ? "" : it->second.data;
}

std::vector<std::u16string> MemFs::Children(const std::u16string& directory) const {
    std::vector<std::u16string> children;
    for (const auto& [key, node] : nodes_)
        if (!key.empty() && Parent(key) == directory) children.push_back(key);
    return children;
}

NTSTATUS MemFs::Create(PIRP irp) {
    PFILE_OBJECT fileObject = irp->Stack.FileObject;
    std::u16string name = io::ToString(&fileObject->FileName);
    std::u16string path = Normalize(name);
    if (fileObject->RelatedFileObject)
        path = Join(static_cast<Open*>(fileObject->RelatedFileObject->FsContext2)->path, path);
    std::u16string key = Upper(path);
    ULONG disposition = irp->Stack.Parameters.Create.Options >> 24;
    ULONG options = irp->Stack.Parameters.Create.Options & 0xFFFFFF;
    std::lock_guard lock(mutex_);
    auto parent = nodes_.find(Parent(key));
    if (!key.empty() && (parent == nodes_.end() || !parent->second.directory))
        return TestDriver::Complete(irp, STATUS_OBJECT_PATH_NOT_FOUND);
    auto existing = nodes_.find(key);
    bool exists = existing != nodes_.end();
    ULONG_PTR information = FILE_OPENED;
    auto* open = new Open();
    open->path = key;
    if (irp->Stack.Flags & SL_OPEN_TARGET_DIRECTORY) {
        // The rename's target: open the parent, leave the last component as the name.
        open->path = Parent(key);
        information = exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
        std::u16string leaf = Leaf(path);
        std::memmove(fileObject->FileName.Buffer, leaf.data(), leaf.size() * sizeof(WCHAR));
        fileObject->FileName.Length = static_cast<USHORT>(leaf.size() * sizeof(WCHAR));
    } else {
        NTSTATUS refusal = STATUS_SUCCESS;
        if (exists && existing->second.directory && (options & FILE_NON_DIRECTORY_FILE))
            refusal = STATUS_FILE_IS_A_DIRECTORY;
        else if (exists && !existing->second.directory && (options & FILE_DIRECTORY_FILE))
            refusal = STATUS_NOT_A_DIRECTORY;
        else if (!exists && (disposition == FILE_OPEN || disposition == FILE_OVERWRITE))
            refusal = STATUS_OBJECT_NAME_NOT_FOUND;
        else if (exists && disposition == FILE_CREATE)
            refusal = STATUS_OBJECT_NAME_COLLISION;
        if (refusal != STATUS_SUCCESS) {
            delete open;
            return TestDriver::Complete(irp, refusal);
        }
        if (!exists) {
            nodes_[key] = {Leaf(path), (options & FILE_DIRECTORY_FILE) != 0, ""};
            information = FILE_CREATED;
        } else if (disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF || disposition == FILE_SUPERSEDE) {
            existing->second.data.clear();
            information = FILE_OVERWRITTEN;
        }
    }
    fileObject->FsContext2 = open;
    return TestDriver::Complete(irp, STATUS_SUCCESS, information);
}

NTSTATUS MemFs::QueryInformation(PIRP irp, Open& open) {
    std::lock_guard lock(mutex_);
    auto it = nodes_.find(open.path);
    if (it == nodes_.end()) return TestDriver::Complete(irp, STATUS_FILE_DELETED);
    ULONG attributes = it->second.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    ULONG length = irp->Stack.Parameters.QueryFile.Length;
    void* out = irp->AssociatedIrp.SystemBuffer;
    switch (irp->Stack.Parameters.QueryFile.FileInformationClass) {
    case FileBasicInformation: {
        if (length < sizeof(FILE_BASIC_INFORMATION)) return TestDriver::Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        FILE_BASIC_INFORMATION basic{Large(1), Large(2), Large(3), Large(4), attributes};
        std::memcpy(out, &basic, sizeof basic);
        return TestDriver::Complete(irp, STATUS_SUCCESS, sizeof basic);
    }
    default:
        return TestDriver::Complete(irp, STATUS_INVALID_INFO_CLASS);
    }
}

NTSTATUS MemFs::SetInformation(PIRP irp, Open& open) {
    std::lock_guard lock(mutex_);
    auto& set = irp->Stack.Parameters.SetFile;
    const void* in = irp->AssociatedIrp.SystemBuffer;
    if (set.FileInformationClass == FileDispositionInformation) {
        bool remove = static_cast<const FILE_DISPOSITION_INFORMATION*>(in)->DeleteFile;
        if (remove && !Children(open.path).empty()) return TestDriver::Complete(irp, STATUS_DIRECTORY_NOT_EMPTY);
        open.deleteOnCleanup = remove;
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    }
    if (set.FileInformationClass != FileRenameInformation) return TestDriver::Complete(irp, STATUS_INVALID_INFO_CLASS);
    std::u16string newPath;
    if (set.FileObject) {
        newPath = Join(static_cast<Open*>(set.FileObject->FsContext2)->path, io::ToString(&set.FileObject->FileName));
    } else {
        auto* rename = static_cast<const FILE_RENAME_INFORMATION*>(in);
        newPath = Join(Parent(open.path), std::u16string(rename->FileName, rename->FileNameLength / 2));
    }
    std::u16string key = Upper(newPath);
    if (nodes_.count(key) && !set.ReplaceIfExists) return TestDriver::Complete(irp, STATUS_OBJECT_NAME_COLLISION);
    Node node = nodes_[open.path];
    node.name = Leaf(newPath);
    nodes_.erase(open.path);
    nodes_[key] = node;
    open.path = key;
    return TestDriver::Complete(irp, STATUS_SUCCESS);
}

NTSTATUS MemFs::QueryDirectory(PIRP irp, Open& open) {
    auto& query = irp->Stack.Parameters.QueryDirectory;
    if (query.FileInformationClass != FileBothDirectoryInformation)
        return TestDriver::Complete(irp, STATUS_INVALID_INFO_CLASS);
    if (irp->RequestorMode != KernelMode) ProbeForWrite(irp->UserBuffer, query.Length, 1);
    std::lock_guard lock(mutex_);
    bool first = open.pattern.empty();
    if (first || (irp->Stack.Flags & SL_RESTART_SCAN)) {
        open.pattern = query.FileName && query.FileName->Length ? Upper(io::ToString(query.FileName)) : u"*";
        open.listed = 0;
    }
    UNICODE_STRING pattern{static_cast<USHORT>(open.pattern.size() * 2), static_cast<USHORT>(open.pattern.size() * 2),
                           open.pattern.data()};
    std::vector<std::u16string> matches;
    for (const auto& key : Children(open.path)) {
        std::u16string name = nodes_[key].name;
        UNICODE_STRING nameString{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                                  name.data()};
        if (FsRtlIsNameInExpression(&pattern, &nameString, TRUE, nullptr)) matches.push_back(key);
    }
    auto* out = static_cast<unsigned char*>(irp->UserBuffer);
    size_t used = 0, last = 0;
    bool wrote = false;
    constexpr size_t kFixed = offsetof(FILE_BOTH_DIR_INFORMATION, FileName);
    while (open.listed < matches.size()) {
        const Node& node = nodes_[matches[open.listed]];
        size_t offset = (used + 7) & ~size_t{7};
        size_t size = kFixed + node.name.size() * 2;
        if (offset + size > query.Length) break;
        FILE_BOTH_DIR_INFORMATION entry{};
        entry.FileAttributes = node.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        entry.EndOfFile.QuadPart = static_cast<LONGLONG>(node.data.size());
        entry.LastWriteTime.QuadPart = 0x01D0000000000000;
        entry.FileNameLength = static_cast<ULONG>(node.name.size() * 2);
        if (wrote) {
            ULONG next = static_cast<ULONG>(offset - last);
            std::memcpy(out + last, &next, sizeof next);
        }
        std::memcpy(out + offset, &entry, kFixed);
        std::memcpy(out + offset + kFixed, node.name.data(), node.name.size() * 2);
        last = offset;
        used = offset + size;
        wrote = true;
        ++open.listed;
        if (irp->Stack.Flags & SL_RETURN_SINGLE_ENTRY) break;
    }
    if (!wrote) return TestDriver::Complete(irp, first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES);
    return TestDriver::Complete(irp, STATUS_SUCCESS, used);
}

NTSTATUS MemFs::QueryVolume(PIRP irp) {
    auto& query = irp->Stack.Parameters.QueryVolume;
    auto* out = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
    std::memset(out, 0, query.Length);
    if (query.FsInformationClass == FileFsVolumeInformation) {
        FILE_FS_VOLUME_INFORMATION volume{};
        volume.VolumeSerialNumber = serial;
        volume.VolumeLabelLength = static_cast<ULONG>(label.size() * 2);
        size_t offset = offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
        std::memcpy(out, &volume, offset);
        std::memcpy(out + offset, label.data(), label.size() * 2);
        return TestDriver::Complete(irp, STATUS_SUCCESS, offset + label.size() * 2);
    }
    if (query.FsInformationClass == FileFsAttributeInformation) {
        const std::u16string name = u"MemFS";
        FILE_FS_ATTRIBUTE_INFORMATION attributes{FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK, 255,
                                                 static_cast<ULONG>(name.size() * 2), {}};
        size_t offset = offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
        std::memcpy(out, &attributes, offset);
        std::memcpy(out + offset, name.data(), name.size() * 2);
        return TestDriver::Complete(irp, STATUS_SUCCESS, offset + name.size() * 2);
    }
    return TestDriver::Complete(irp, STATUS_INVALID_INFO_CLASS);
}

NTSTATUS MemFs::ReadWrite(PIRP irp, Open& open) {
    std::lock_guard lock(mutex_);
    Node& node = nodes_[open.path];
    auto& p = irp->Stack.Parameters.Read;
    auto offset = static_cast<size_t>(p.ByteOffset.QuadPart);
    if (irp->Stack.MajorFunction == IRP_MJ_WRITE) {
        if (node.data.size() < offset + p.Length) node.data.resize(offset + p.Length);
        std::memcpy(node.data.data() + offset, irp->UserBuffer, p.Length);
        return TestDriver::Complete(irp, STATUS_SUCCESS, p.Length);
    }
    if (offset >= node.data.size()) return TestDriver::Complete(irp, STATUS_END_OF_FILE);
    size_t count = std::min<size_t>(p.Length, node.data.size() - offset);
    std::memcpy(irp->UserBuffer, node.data.data() + offset, count);
    return TestDriver::Complete(irp, STATUS_SUCCESS, count);
}

}  // namespace korin::test

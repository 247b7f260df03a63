// Reading drives, folders and mappings from KRDriver's store.

#include "common/drive_list.h"

#include "platform/win32/registry.h"

#include <cstring>

namespace korin {

namespace {

// Name buffers hold 260 characters (NUL included); a value name that does not
// fit is read again with room for the registry's longest.
constexpr DWORD kNameChars = 260;
constexpr DWORD kLongestValueNameChars = 16384;
constexpr DWORD kMappingDataBytes = 2 * kNameChars;

// An open key of HKEY_LOCAL_MACHINE, closed at scope exit.
class OpenedKey {
public:
    OpenedKey(const std::u16string& path, REGSAM access) {
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~OpenedKey() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

struct ValueRead {
    std::u16string Name;
    std::vector<BYTE> Data;  // zero-filled before the read, two zero bytes past its capacity
    DWORD DataBytes = 0;
};

// Reads value index of key into out with dataBytes of data room, growing the
// buffers when the value does not fit, so that a long value is read whole
// and does not end the listing. Returns the registry's answer.
LSTATUS ReadValue(HKEY key, DWORD index, DWORD dataBytes, ValueRead* out) {
    DWORD nameChars = kNameChars;
    for (int attempt = 0;; ++attempt) {
        std::u16string name(nameChars, u'\0');
        out->Data.assign(dataBytes + sizeof(WCHAR), 0);
        DWORD cchName = nameChars;
        DWORD cbData = dataBytes;
        LSTATUS status = RegEnumValueW(key, index, name.data(), &cchName, nullptr, nullptr, out->Data.data(), &cbData);
        if (status == ERROR_SUCCESS) {
            name.resize(cchName);
            out->Name = std::move(name);
            out->DataBytes = cbData;
            return status;
        }
        if (status != ERROR_MORE_DATA || attempt == 3) return status;
        // Either the name or the data did not fit: give both the room they need.
        nameChars = kLongestValueNameChars;
        dataBytes = cbData > dataBytes ? cbData : dataBytes;
    }
}

// The UTF-16 text at offset of data, up to the first zero unit or the end of
// what was read.
std::u16string TextAt(const ValueRead& value, DWORD offset) {
    std::u16string text;
    for (DWORD at = offset; at + sizeof(WCHAR) <= value.Data.size(); at += sizeof(WCHAR)) {
        WCHAR unit;
        std::memcpy(&unit, value.Data.data() + at, sizeof unit);
        if (unit == 0) break;
        text.push_back(unit);
    }
    return text;
}

}  // namespace

std::u16string ChildFolderPath(const std::u16string& parent, const std::u16string& name) {
    return parent + name + u"\\";
}

std::vector<DriveEntry> ListDrives() {
    std::vector<DriveEntry> drives;
    OpenedKey driveKey(kDriveKeyPath, KEY_QUERY_VALUE);
    if (driveKey.get() == nullptr) return drives;
    for (DWORD index = 0;; ++index) {
        ValueRead value;
        if (ReadValue(driveKey.get(), index, kDriveRecordBufferBytes, &value) != ERROR_SUCCESS) break;
        if (value.Name == u"NextInstance") continue;
        DriveEntry drive;
        drive.InstanceName = value.Name;
        std::memcpy(&drive.Letter, value.Data.data(), sizeof drive.Letter);
        drive.DisplayName = TextAt(value, 4);
        drive.KeyPath = ChildFolderPath(kDriveKeyPath, value.Name);
        drive.NamespacePath = std::u16string{drive.Letter, u':', u'\\'};
        drives.push_back(std::move(drive));
    }
    return drives;
}

std::vector<FolderEntry> ListSubfolders(const std::u16string& keyPath, const std::u16string& namespacePath) {
    std::vector<FolderEntry> folders;
    OpenedKey key(keyPath, KEY_ENUMERATE_SUB_KEYS);
    if (key.get() == nullptr) return folders;
    for (DWORD index = 0;; ++index) {
        WCHAR name[kNameChars] = {};
        if (RegEnumKeyW(key.get(), index, name, kNameChars) != ERROR_SUCCESS) break;
        FolderEntry folder;
        folder.Name = name;
        folder.KeyPath = ChildFolderPath(keyPath, folder.Name);
        folder.NamespacePath = ChildFolderPath(namespacePath, folder.Name);
        folders.push_back(std::move(folder));
    }
    return folders;
}

std::vector<MappingEntry> ListMappings(const std::u16string& keyPath, const std::u16string& namespacePath) {
    std::vector<MappingEntry> mappings;
    OpenedKey key(keyPath, KEY_QUERY_VALUE);
    if (key.get() == nullptr) return mappings;
    for (DWORD index = 0;; ++index) {
        ValueRead value;
        if (ReadValue(key.get(), index, kMappingDataBytes, &value) != ERROR_SUCCESS) break;
        MappingEntry mapping;
        mapping.Name = value.Name;
        mapping.Target = TextAt(value, 0);
        mapping.NamespacePath = namespacePath + value.Name;
        mappings.push_back(std::move(mapping));
    }
    return mappings;
}

bool HasSubfolders(const std::u16string& keyPath) {
    OpenedKey key(keyPath, KEY_ENUMERATE_SUB_KEYS);
    if (key.get() == nullptr) return false;
    WCHAR name[kNameChars] = {};
    return RegEnumKeyW(key.get(), 0, name, kNameChars) == ERROR_SUCCESS;
}

std::u16string DriveLabel(const DriveEntry& drive) {
    return drive.DisplayName + u" (" + drive.Letter + u":)";
}

std::u16string ShellDriveLabel(const DriveEntry& drive) {
    return std::u16string{drive.Letter} + u": (" + drive.DisplayName + u")";
}

}  // namespace korin

// The drive list: how user mode reads KRDriver's store (the Drive key under
// the driver's service key) directly from the registry, read-only, without
// asking the driver. One reader shared by every program, so that all agree
// on what a drive, a folder and a mapping are and how they are named.
//
//   Drive key  HKLM\SYSTEM\CurrentControlSet\Services\KRDriver\Drive (opened
//              with its final backslash)
//     value "NextInstance"  not a drive (exact, case-sensitive name)
//     value <n>             a drive: DriveRecord (letter, name length, name)
//     key <n>               the drive's folder key
//       key <folder>        a folder (itself a folder key)
//       value <mapping>     a mapping: REG_SZ target, a folder's ending in "\"
//
// Nothing is cached: every call reads the registry again, so a change the
// driver wrote is seen at once. A key that cannot be opened lists nothing.
#pragma once

#include "platform/win32/win32.h"

#include <string>
#include <vector>

namespace korin {

// The Drive key's path under HKEY_LOCAL_MACHINE, with its final backslash.
inline constexpr char16_t kDriveKeyPath[] = u"SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive\\";
// Each drive record value is read into a buffer of this many bytes, zero-filled
// before every read, so that a zero follows the name.
constexpr DWORD kDriveRecordBufferBytes = 200;

struct DriveEntry {
    std::u16string InstanceName;   // the value's name, the drive's instance number
    WCHAR Letter = 0;              // first UTF-16 unit of the record
    std::u16string DisplayName;    // from offset 4 up to the first zero unit
    std::u16string KeyPath;        // "%s%s\": Drive key path, instance, backslash
    std::u16string NamespacePath;  // "%c:\"
};

struct FolderEntry {
    std::u16string Name;
    std::u16string KeyPath;        // parent's key path + name + "\"
    std::u16string NamespacePath;  // parent's namespace path + name + "\"
};

struct MappingEntry {
    std::u16string Name;
    std::u16string Target;         // as the user gave it; a folder's ends with "\"
    std::u16string NamespacePath;  // parent's namespace path + name
};

// Every drive, in the registry's order of values.
std::vector<DriveEntry> ListDrives();
// The folders in the folder key keyPath (a drive's or a folder's), in the
// registry's order of subkeys; namespacePath is that folder's own path.
std::vector<FolderEntry> ListSubfolders(const std::u16string& keyPath, const std::u16string& namespacePath);
// The mappings in the folder key keyPath, in the registry's order of values.
std::vector<MappingEntry> ListMappings(const std::u16string& keyPath, const std::u16string& namespacePath);
// TRUE when the folder key holds at least one folder (its subkey 0 exists).
bool HasSubfolders(const std::u16string& keyPath);

// "%s%s\": a folder key path or namespace path below parent.
std::u16string ChildFolderPath(const std::u16string& parent, const std::u16string& name);
// "%s (%c:)", for example "Work (K:)": how the manager and the command process show a drive.
std::u16string DriveLabel(const DriveEntry& drive);
// "%c: (%s)", for example "K: (Work)": how the shell extension shows a drive.
std::u16string ShellDriveLabel(const DriveEntry& drive);

}  // namespace korin

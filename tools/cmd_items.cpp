// korin mkdir, map, rm, mv and type: folders and mappings of the virtual
// drives, through the driver client.

#include "cli.h"

#include "common/drive_list.h"
#include "platform/win32/files.h"
#include "platform/win32/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace korin::cli {

namespace {

// A namespace path argument, or empty after a usage message.
std::u16string PathArgument(const std::string& text, int* code) {
    bool ok = false;
    std::u16string path = ParseNamespacePath(text, &ok);
    if (!ok) *code = UsageError("'" + text + "' is not a path on a drive (K:\\folder\\name)");
    return path;
}

// The status messages every change shares.
int ChangeFailed(const std::u16string& path, const char* what, NTSTATUS status) {
    const std::string shown = Narrow(path);
    switch (status) {
        case STATUS_OBJECT_NAME_COLLISION:
            return Fail(std::string("cannot ") + what + " " + shown + ": an item of that name already exists");
        case STATUS_OBJECT_PATH_NOT_FOUND:
            return Fail(std::string("cannot ") + what + " " + shown + ": its folder does not exist");
        case STATUS_OBJECT_NAME_INVALID:
            return Fail(std::string("cannot ") + what + " " + shown +
                        ": names cannot be empty, . or .., nor hold \\ / : * ? \" < > | or control characters");
        default:
            return Fail(std::string("cannot ") + what + " " + shown + ": " + DescribeStatus(status));
    }
}

// The item type of path, or a failure message (and ItemNone with ok false).
ItemType TypeOrFail(HANDLE device, const std::u16string& path, bool* ok) {
    NTSTATUS status = STATUS_SUCCESS;
    const ItemType type = QueryItemType(device, path, &status);
    *ok = status == STATUS_SUCCESS;
    if (!*ok) Fail("cannot ask what " + Narrow(path) + " is: " + DescribeStatus(status));
    return type;
}

// Refuses the item types no folder or mapping operation applies to.
bool IsFolderOrMapping(const std::u16string& path, ItemType type, const char* rootHint) {
    switch (type) {
        case ItemNone:
            Fail(Narrow(path) + " is not on a virtual drive");
            return false;
        case ItemNotFound:
            Fail(Narrow(path) + ": no such folder or mapping");
            return false;
        case ItemDriveRoot:
            Fail(Narrow(path) + " is a drive root; " + rootHint);
            return false;
        default:
            return true;
    }
}

// The key path of a folder of the store for its namespace path, or empty.
std::u16string FolderKeyPath(const std::u16string& path) {
    WCHAR letter = path[0];
    if (letter >= u'a' && letter <= u'z') letter = static_cast<WCHAR>(letter - u'a' + u'A');
    for (const DriveEntry& drive : ListDrives()) {
        WCHAR stored = drive.Letter;
        if (stored >= u'a' && stored <= u'z') stored = static_cast<WCHAR>(stored - u'a' + u'A');
        if (stored != letter) continue;
        std::u16string key = drive.KeyPath;
        std::u16string rest = path.substr(3);
        if (!rest.empty() && rest.back() != u'\\') rest += u'\\';
        return key + rest;
    }
    return {};
}

int MakeFolder(const Args& args) {
    if (args.size() != 1) return UsageError("mkdir needs a path");
    int code = kExitOk;
    const std::u16string path = WithoutTrailingBackslash(PathArgument(args[0], &code));
    if (code != kExitOk) return code;
    HANDLE device = ControlDevice();
    if (device == INVALID_HANDLE_VALUE) return kExitFailure;
    const NTSTATUS status = CreateFolder(device, path);
    if (status != STATUS_SUCCESS) return ChangeFailed(path, "create folder", status);
    return kExitOk;
}

// SOURCE as a target: a Win32 path as given ("C:\x", "C:/x", "\\server\share"),
// or a Linux path turned into this machine's Win32 form through the host drive
// letters. A folder's target ends with one backslash.
bool SourceTarget(const std::string& source, std::u16string* target) {
    const bool win32Form = (source.size() >= 2 && source[1] == ':') || source.rfind("\\\\", 0) == 0;
    bool folder = false;
    if (win32Form) {
        bool ok = false;
        *target = Wide(source, &ok);
        if (!ok) {
            Fail("the source is not valid UTF-8");
            return false;
        }
        for (char16_t& c : *target) {
            if (c == u'/') c = u'\\';
        }
        const DWORD attributes = GetFileAttributesW(target->c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            Fail("cannot find " + source + ": " + DescribeError(GetLastError()));
            return false;
        }
        folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    } else {
        std::error_code error;
        std::filesystem::path absolute = std::filesystem::absolute(source, error).lexically_normal();
        struct stat info;
        if (error || stat(absolute.c_str(), &info) != 0) {
            Fail("cannot find " + source);
            return false;
        }
        folder = S_ISDIR(info.st_mode);
        std::string text = absolute.string();
        if (text.size() > 1 && text.back() == '/') text.pop_back();
        std::optional<std::u16string> converted = win32::HostPathToWin32Path(text);
        if (!converted) {
            Fail(source + " is not below a host drive letter or the UNC root of this machine");
            return false;
        }
        *target = *converted;
    }
    *target = WithoutTrailingBackslash(*target);
    if (folder && target->back() != u'\\') *target += u'\\';
    return true;
}

int Map(const Args& args) {
    if (args.size() != 2) return UsageError("map needs a source and a destination");
    int code = kExitOk;
    std::u16string path = PathArgument(args[1], &code);
    if (code != kExitOk) return code;
    HANDLE device = ControlDevice();
    if (device == INVALID_HANDLE_VALUE) return kExitFailure;
    std::u16string target;
    if (!SourceTarget(args[0], &target)) return kExitFailure;
    bool ok = false;
    if (target.size() >= 2 && target[1] == u':' && TypeOrFail(device, target, &ok) != ItemNone) {
        return ok ? Fail(Narrow(target) + " is on a virtual drive; map what it leads to instead") : kExitFailure;
    }
    if (path.back() == u'\\') {
        // An existing folder: the mapping takes the source's own name.
        const ItemType type = TypeOrFail(device, path, &ok);
        if (!ok) return kExitFailure;
        if (type != ItemFolder && type != ItemDriveRoot) {
            return Fail(Narrow(path) + " is not a folder of a virtual drive (" + ItemTypeName(type) + ")");
        }
        const std::u16string name = LastComponent(WithoutTrailingBackslash(target));
        if (name.empty() || name.back() == u':') {
            return Fail(Narrow(target) + " has no name to give the mapping; give the mapping's path instead");
        }
        path += name;
    }
    const NTSTATUS status = CreateMapping(device, path, target);
    if (status != STATUS_SUCCESS) return ChangeFailed(path, "create mapping", status);
    std::printf("%s -> %s\n", Narrow(path).c_str(), Narrow(target).c_str());
    return kExitOk;
}

int Remove(const Args& args) {
    bool recursive = false;
    Args rest;
    for (const std::string& arg : args) {
        if (arg == "-r" || arg == "--recursive") {
            recursive = true;
        } else {
            rest.push_back(arg);
        }
    }
    if (rest.size() != 1) return UsageError("rm needs one path");
    int code = kExitOk;
    const std::u16string path = PathArgument(rest[0], &code);
    if (code != kExitOk) return code;
    HANDLE device = ControlDevice();
    if (device == INVALID_HANDLE_VALUE) return kExitFailure;
    bool ok = false;
    const ItemType type = TypeOrFail(device, path, &ok);
    if (!ok) return kExitFailure;
    if (!IsFolderOrMapping(path, type, "'korin drive delete' deletes a drive")) return kExitFailure;

    NTSTATUS status = STATUS_SUCCESS;
    if (type == ItemFolder) {
        const std::u16string key = FolderKeyPath(path);
        const bool empty = !key.empty() && !HasSubfolders(key) && ListMappings(key, path).empty();
        if (!recursive && !empty) {
            return Fail(Narrow(path) + " is not empty; 'korin rm -r' deletes it with everything in it");
        }
        DeleteFolder(device, path, &status);
    } else {
        DeleteMapping(device, WithoutTrailingBackslash(path), &status);
    }
    if (status != STATUS_SUCCESS) return ChangeFailed(path, "delete", status);
    return kExitOk;
}

int Rename(const Args& args) {
    if (args.size() != 2) return UsageError("mv needs a path and a new name");
    int code = kExitOk;
    const std::u16string path = WithoutTrailingBackslash(PathArgument(args[0], &code));
    if (code != kExitOk) return code;
    bool ok = false;
    const std::u16string name = Wide(args[1], &ok);
    if (!ok) return UsageError("the new name is not valid UTF-8");
    if (name.find_first_of(u"\\/") != std::u16string::npos) {
        return UsageError("NEWNAME is a name within the same folder, not a path");
    }
    HANDLE device = ControlDevice();
    if (device == INVALID_HANDLE_VALUE) return kExitFailure;
    const ItemType type = TypeOrFail(device, path, &ok);
    if (!ok) return kExitFailure;
    if (!IsFolderOrMapping(path, type, "'korin drive rename' renames a drive")) return kExitFailure;
    const NTSTATUS status =
        type == ItemFolder ? RenameFolder(device, path, name) : RenameMapping(device, path, name);
    if (status != STATUS_SUCCESS) return ChangeFailed(path, "rename", status);
    return kExitOk;
}

int Type(const Args& args) {
    if (args.size() != 1) return UsageError("type needs a path");
    bool ok = false;
    std::u16string path = Wide(args[0], &ok);
    if (!ok || path.empty()) return UsageError("'" + args[0] + "' is not a path");
    for (char16_t& c : path) {
        if (c == u'/') c = u'\\';
    }
    HANDLE device = ControlDevice();
    if (device == INVALID_HANDLE_VALUE) return kExitFailure;
    const ItemType type = TypeOrFail(device, path, &ok);
    if (!ok) return kExitFailure;
    std::printf("%s\n", ItemTypeName(type));
    return kExitOk;
}

}  // namespace

std::vector<Command> ItemCommands() {
    return {
        {"mkdir", "create a virtual folder", "PATH", MakeFolder},
        {"map",
         "map a file or folder into a virtual drive. SOURCE is a Win32 path (C:\\data\\a.txt, \\\\server\\share\\x)\n"
         "or a Linux path of this machine; DEST is the new mapping's path (K:\\Docs\\a.txt), or an existing\n"
         "folder ending with a backslash (K:\\Docs\\) to use the source's own name",
         "SOURCE DEST", Map},
        {"rm", "delete a virtual folder (-r: with everything in it) or a mapping (never its target)",
         "[-r] PATH", Remove},
        {"mv", "give a virtual folder or a mapping a new name in its folder", "PATH NEWNAME", Rename},
        {"type", "tell what a path is: none, drive root, folder, file mapping, folder mapping or not found", "PATH",
         Type},
    };
}

}  // namespace korin::cli

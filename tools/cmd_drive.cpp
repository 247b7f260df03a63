// korin drives and korin drive create|delete|rename|move: the drives, read
// from the driver's store, and the drive-level requests with the caller's own
// drive-letter definition kept in step, as the item operations do.

#include "cli.h"

#include "common/drive_list.h"
#include "platform/win32/files.h"
#include "platform/win32/host_connection.h"

#include <algorithm>
#include <cstdio>

namespace korin::cli {

namespace {

std::u16string DriveString(WCHAR letter) { return std::u16string{letter, u':'}; }
std::string Shown(WCHAR letter) { return Narrow(DriveString(letter)); }

// Why letter cannot take a new drive ("" when it is free): a drive of the
// store has it, or a DOS device of that name exists (a host drive letter, or
// someone's definition).
std::string LetterTakenBy(WCHAR letter) {
    for (const DriveEntry& drive : ListDrives()) {
        WCHAR stored = drive.Letter;
        if (stored >= u'a' && stored <= u'z') stored = static_cast<WCHAR>(stored - u'a' + u'A');
        if (stored == letter) return "the virtual drive " + Narrow(DriveLabel(drive));
    }
    if ((GetLogicalDrives() & (1u << (letter - u'A'))) == 0) return {};
    WCHAR target[MAX_PATH] = {};
    if (QueryDosDeviceW(DriveString(letter).c_str(), target, MAX_PATH) != 0) return "the device " + Narrow(target);
    return "a device";
}

// The two letter arguments of create, rename and the like; 0 with a usage
// message when the text is not a letter.
WCHAR LetterArgument(const std::string& text, int* code) {
    const WCHAR letter = ParseLetter(text);
    if (letter == 0) *code = UsageError("'" + text + "' is not a drive letter (A to Z, as K, K: or K:\\)");
    return letter;
}

// The LETTER NAME arguments of create and rename; false with *code set (and
// the usage message shown) for a bad letter or a name that is not UTF-8.
bool LetterAndName(const Args& args, WCHAR* letter, std::u16string* name, int* code) {
    *letter = LetterArgument(args[0], code);
    if (!*letter) return false;
    bool ok = false;
    *name = Wide(args[1], &ok);
    if (!ok) {
        *code = UsageError("the name is not valid UTF-8");
        return false;
    }
    return true;
}

// Takes the letter's definition away, only while it still names the drive's device.
void RemoveLetter(WCHAR letter, const std::u16string& deviceName) {
    DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                     DriveString(letter).c_str(), deviceName.c_str());
}

int ListAll(const Args& args) {
    if (!args.empty()) return UsageError("drives takes no arguments");
    // Reading needs no host; with one running, read what it reads.
    if (win32::QueryHost(Home()).answering && !ConnectHost()) return kExitFailure;
    std::vector<DriveEntry> drives = ListDrives();
    std::sort(drives.begin(), drives.end(),
              [](const DriveEntry& a, const DriveEntry& b) { return a.NamespacePath < b.NamespacePath; });
    for (const DriveEntry& drive : drives) {
        std::printf("%s  %s\n", Narrow(drive.NamespacePath).c_str(), Narrow(drive.DisplayName).c_str());
    }
    return kExitOk;
}

int Create(const Args& args) {
    if (args.size() != 2) return UsageError("drive create needs a letter and a name");
    int code = kExitOk;
    WCHAR letter = 0;
    std::u16string name;
    if (!LetterAndName(args, &letter, &name, &code)) return code;
    HANDLE device = ControlDevice();
    if (device == INVALID_HANDLE_VALUE) return kExitFailure;
    const std::string taken = LetterTakenBy(letter);
    if (!taken.empty()) return Fail(Shown(letter) + " is in use by " + taken);

    NTSTATUS status = CreateDrive(device, letter, name);
    if (status != STATUS_SUCCESS) return Fail("cannot create drive " + Shown(letter) + ": " + DescribeStatus(status));
    const std::u16string deviceName = GetDriveDeviceName(device, letter, &status);
    if (deviceName.empty()) {
        return Fail("drive " + Shown(letter) + " was created but has no device name: " + DescribeStatus(status));
    }
    if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH, DriveString(letter).c_str(), deviceName.c_str())) {
        return Fail("drive " + Shown(letter) + " was created but its letter could not be defined: Error Code:" +
                    std::to_string(GetLastError()));
    }
    std::printf("%s (%s) created as %s\n", Shown(letter).c_str(), args[1].c_str(), Narrow(deviceName).c_str());
    return kExitOk;
}

// The device name must be fetched while the driver still knows the letter.
int Delete(const Args& args) {
    if (args.size() != 1) return UsageError("drive delete needs a letter");
    int code = kExitOk;
    const WCHAR letter = LetterArgument(args[0], &code);
    if (!letter) return code;
    HANDLE device = ControlDevice();
    if (device == INVALID_HANDLE_VALUE) return kExitFailure;
    NTSTATUS status = STATUS_SUCCESS;
    const std::u16string deviceName = GetDriveDeviceName(device, letter, &status);
    if (deviceName.empty()) return Fail("no virtual drive " + Shown(letter) + ": " + DescribeStatus(status));
    RemoveLetter(letter, deviceName);
    DeleteDrive(device, letter, &status);
    if (status != STATUS_SUCCESS) return Fail("cannot delete drive " + Shown(letter) + ": " + DescribeStatus(status));
    std::printf("%s deleted\n", Shown(letter).c_str());
    return kExitOk;
}

int Rename(const Args& args) {
    if (args.size() != 2) return UsageError("drive rename needs a letter and a name");
    int code = kExitOk;
    WCHAR letter = 0;
    std::u16string name;
    if (!LetterAndName(args, &letter, &name, &code)) return code;
    HANDLE device = ControlDevice();
    if (device == INVALID_HANDLE_VALUE) return kExitFailure;
    const NTSTATUS status = SetDriveName(device, DriveString(letter), name);
    if (status == STATUS_NO_SUCH_DEVICE) return Fail("no virtual drive " + Shown(letter));
    if (status != STATUS_SUCCESS) return Fail("cannot rename drive " + Shown(letter) + ": " + DescribeStatus(status));
    std::printf("%s is now %s\n", Shown(letter).c_str(), args[1].c_str());
    return kExitOk;
}

// Moves the drive to a free letter: the old definition goes before the
// driver moves the drive, the new one comes after; a refused move puts the
// old definition back.
int Move(const Args& args) {
    if (args.size() != 2) return UsageError("drive move needs the current and the new letter");
    int code = kExitOk;
    const WCHAR from = LetterArgument(args[0], &code);
    if (!from) return code;
    const WCHAR to = LetterArgument(args[1], &code);
    if (!to) return code;
    if (from == to) return UsageError("the drive already has the letter " + Shown(to));
    HANDLE device = ControlDevice();
    if (device == INVALID_HANDLE_VALUE) return kExitFailure;
    NTSTATUS status = STATUS_SUCCESS;
    const std::u16string oldDevice = GetDriveDeviceName(device, from, &status);
    if (oldDevice.empty()) return Fail("no virtual drive " + Shown(from) + ": " + DescribeStatus(status));
    const std::string taken = LetterTakenBy(to);
    if (!taken.empty()) return Fail(Shown(to) + " is in use by " + taken);

    RemoveLetter(from, oldDevice);
    ChangeDriveLetter(device, from, to, &status);
    if (status != STATUS_SUCCESS) {
        DefineDosDeviceW(DDD_RAW_TARGET_PATH, DriveString(from).c_str(), oldDevice.c_str());
        return Fail("cannot move drive " + Shown(from) + " to " + Shown(to) + ": " + DescribeStatus(status));
    }
    const std::u16string newDevice = GetDriveDeviceName(device, to, &status);
    if (newDevice.empty() || !DefineDosDeviceW(DDD_RAW_TARGET_PATH, DriveString(to).c_str(), newDevice.c_str())) {
        return Fail("drive moved to " + Shown(to) + " but its letter could not be defined: Error Code:" +
                    std::to_string(GetLastError()));
    }
    std::printf("%s moved to %s\n", Shown(from).c_str(), Shown(to).c_str());
    return kExitOk;
}

}  // namespace

std::vector<Command> DriveCommands() {
    return {
        {"drives", "list the virtual drives", "", ListAll},
        {"drive create", "create a virtual drive and define its letter", "LETTER NAME", Create},
        {"drive delete", "delete a virtual drive with its folders and mappings (their targets stay)", "LETTER",
         Delete},
        {"drive rename", "give a virtual drive a new display name (its volume label)", "LETTER NAME", Rename},
        {"drive move", "give a virtual drive another letter", "OLD NEW", Move},
    };
}

}  // namespace korin::cli

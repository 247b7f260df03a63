// What every command of the `korin` program shares: its arguments, the
// connection to the running host and the control device, text conversion,
// and the way failures are reported.
//
// Exit codes: 0 success, 1 failure, 2 usage error. Messages go to standard
// error, prefixed "korin: "; results go to standard output.
#pragma once

#include "common/driver_client.h"
#include "common/korin_ioctl.h"

#include <string>
#include <string_view>
#include <vector>

namespace korin::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A command's arguments (after its name and any sub-command name).
using Args = std::vector<std::string>;

// One command: its name as typed ("drive create"), a one-line summary, its
// usage text and its body.
struct Command {
    const char* name;
    const char* summary;
    const char* usage;
    int (*run)(const Args& args);
};

// The commands of each file, for the dispatcher.
std::vector<Command> SetupCommands();
std::vector<Command> HostCommands();
std::vector<Command> DriveCommands();
std::vector<Command> ItemCommands();
std::vector<Command> ListCommands();
std::vector<Command> RegistryCommands();

// Prints "korin: " and the message to standard error; returns kExitFailure.
int Fail(const std::string& message);
// Prints the message and the running command's usage; returns kExitUsage.
int UsageError(const std::string& message);
// Prints the running command's usage to standard output; returns kExitOk.
int PrintUsage();
// The command the dispatcher runs (for the usage texts).
void SetCurrent(const Command& command);
// TRUE when args is exactly "--help" or "-h" (every command takes it).
bool WantsHelp(const Args& args);

// "STATUS_OBJECT_NAME_COLLISION (0xC0000035)".
std::string DescribeStatus(NTSTATUS status);
// "ERROR_FILE_NOT_FOUND (2)".
std::string DescribeError(DWORD error);

// UTF-8 <-> UTF-16; invalid input in either direction is reported and gives
// nullopt-like failure through ok.
std::u16string Wide(std::string_view text, bool* ok = nullptr);
std::string Narrow(std::u16string_view text);

// The host's home this run uses (--home, else $KORIN_HOME, else the default).
std::string Home();
void SetHome(const std::string& home);

// Connects to the running host of Home(); false (with a message) when none
// answers.
bool ConnectHost();
// Connects to the host and opens the control device; INVALID_HANDLE_VALUE
// (with a message) when either is not there. Opened once per run.
HANDLE ControlDevice();
// Closes the control device if it was opened (the dispatcher, at the end).
void CloseControlDevice();

// A drive letter argument: "K", "K:" or "K:\" in either case. Upper-case
// letter, or 0 when the text is not one.
WCHAR ParseLetter(std::string_view text);
// A namespace path argument ("K:\Docs\a.txt"; "/" taken as "\"): the Win32
// text, or empty with ok false when it is not a drive-qualified path.
std::u16string ParseNamespacePath(std::string_view text, bool* ok);
// The path without its final backslash, unless it is a drive root ("K:\").
std::u16string WithoutTrailingBackslash(std::u16string path);
// What follows the last backslash (the whole path when there is none).
std::u16string LastComponent(std::u16string_view path);
// "none", "drive root", "folder", "file mapping", "folder mapping", "not found".
const char* ItemTypeName(ItemType type);

}  // namespace korin::cli

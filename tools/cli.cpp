// Shared pieces of the korin commands.

#include "cli.h"

#include "platform/win32/files.h"
#include "platform/win32/host_connection.h"
#include "platform/win32/paths.h"

#include <cstdio>
#include <cstdlib>

namespace korin::cli {

namespace {

const Command* g_current = nullptr;
std::string g_home;
HANDLE g_control = INVALID_HANDLE_VALUE;

}  // namespace

int Fail(const std::string& message) {
    std::fprintf(stderr, "korin: %s\n", message.c_str());
    return kExitFailure;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "korin: %s\n", message.c_str());
    if (g_current) std::fprintf(stderr, "usage: korin %s %s\n", g_current->name, g_current->usage);
    return kExitUsage;
}

int PrintUsage() {
    if (g_current) std::printf("usage: korin %s %s\n\n%s\n", g_current->name, g_current->usage, g_current->summary);
    return kExitOk;
}

void SetCurrent(const Command& command) { g_current = &command; }

bool WantsHelp(const Args& args) {
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

std::string DescribeStatus(NTSTATUS status) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
    const std::string name = NtStatusName(status);
    return name == hex ? name : name + " (" + hex + ")";
}

std::string DescribeError(DWORD error) {
    const std::string name = Win32ErrorName(error);
    const std::string number = std::to_string(error);
    return name == number ? name : name + " (" + number + ")";
}

std::u16string Wide(std::string_view text, bool* ok) {
    std::optional<std::u16string> wide = win32::Utf8ToUtf16(text);
    if (ok) *ok = wide.has_value();
    return wide.value_or(std::u16string());
}

std::string Narrow(std::u16string_view text) {
    if (std::optional<std::string> narrow = win32::Utf16ToUtf8(text)) return *narrow;
    // A lone surrogate: show the rest, the surrogate as U+FFFD.
    std::u16string repaired(text);
    for (size_t i = 0; i < repaired.size(); ++i) {
        const char16_t c = repaired[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < repaired.size() && repaired[i + 1] >= 0xDC00 && repaired[i + 1] <= 0xDFFF) {
            ++i;
        } else if (high || low) {
            repaired[i] = 0xFFFD;
        }
    }
    return win32::Utf16ToUtf8(repaired).value_or(std::string("?"));
}

std::string Home() { return win32::HostHome(g_home); }

void SetHome(const std::string& home) {
    g_home = home;
    // The registry functions and every other default follow the same home.
    setenv("KORIN_HOME", home.c_str(), 1);
}

bool ConnectHost() {
    if (win32::IsConnectedToHost()) return true;
    const std::string home = Home();
    win32::HostState state = win32::QueryHost(home);
    if (!state.running) {
        Fail("korin-host is not running for " + home + "; start it with 'korin host start'");
        return false;
    }
    if (!state.answering) {
        Fail("korin-host (pid " + std::to_string(state.pid) + ") does not answer on " + win32::HostSocketPath(home));
        return false;
    }
    if (!win32::ConnectToHost(home)) {
        Fail("cannot connect to korin-host for " + home);
        return false;
    }
    return true;
}

HANDLE ControlDevice() {
    if (g_control != INVALID_HANDLE_VALUE) return g_control;
    if (!ConnectHost()) return INVALID_HANDLE_VALUE;
    g_control = OpenControlDevice();
    if (g_control == INVALID_HANDLE_VALUE) {
        Fail("cannot open \\\\.\\KRDriver: " + DescribeError(GetLastError()) +
             "; is the driver running? ('korin setup' installs and starts it)");
    }
    return g_control;
}

void CloseControlDevice() {
    if (g_control != INVALID_HANDLE_VALUE) CloseHandle(g_control);
    g_control = INVALID_HANDLE_VALUE;
}

WCHAR ParseLetter(std::string_view text) {
    if (text.empty() || text.size() > 3) return 0;
    char c = text[0];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c < 'A' || c > 'Z') return 0;
    if (text.size() >= 2 && text[1] != ':') return 0;
    if (text.size() == 3 && text[2] != '\\' && text[2] != '/') return 0;
    return static_cast<WCHAR>(c);
}

std::u16string ParseNamespacePath(std::string_view text, bool* ok) {
    std::u16string path = Wide(text, ok);
    if (!*ok) return {};
    for (char16_t& c : path) {
        if (c == u'/') c = u'\\';
    }
    const bool letter = !path.empty() && ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
    *ok = letter && path.size() >= 2 && path[1] == u':' && (path.size() == 2 || path[2] == u'\\');
    if (*ok && path.size() == 2) path += u'\\';
    return *ok ? path : std::u16string();
}

std::u16string WithoutTrailingBackslash(std::u16string path) {
    if (path.size() > 3 && path.back() == u'\\') path.pop_back();
    return path;
}

std::u16string LastComponent(std::u16string_view path) {
    const size_t slash = path.find_last_of(u'\\');
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

const char* ItemTypeName(ItemType type) {
    switch (type) {
        case ItemNone: return "none";
        case ItemDriveRoot: return "drive root";
        case ItemFolder: return "folder";
        case ItemFileMapping: return "file mapping";
        case ItemFolderMapping: return "folder mapping";
        case ItemNotFound: return "not found";
    }
    return "unknown";
}

}  // namespace korin::cli

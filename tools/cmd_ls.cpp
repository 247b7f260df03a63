// korin ls: a folder's listing through the drive, as any program sees it:
// FindFirstFileW and FindNextFileW, with the real items' sizes, times and
// attributes under the mappings' names.

#include "cli.h"

#include "platform/win32/files.h"

#include <cstdio>
#include <ctime>

namespace korin::cli {

namespace {

// "dr-ha": directory, read-only, (reparse point), hidden, archive.
std::string AttributeText(DWORD attributes) {
    std::string text = "-----";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) text[0] = 'd';
    if (attributes & FILE_ATTRIBUTE_READONLY) text[1] = 'r';
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) text[2] = 'l';
    if (attributes & FILE_ATTRIBUTE_HIDDEN) text[3] = 'h';
    if (attributes & FILE_ATTRIBUTE_ARCHIVE) text[4] = 'a';
    return text;
}

// A FILETIME (100 ns since 1601, UTC) as local "YYYY-MM-DD HH:MM:SS".
std::string TimeText(const FILETIME& time) {
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    constexpr uint64_t kUnixEpoch = 116444736000000000ull;
    if (ticks < kUnixEpoch) return "                   ";
    const std::time_t seconds = static_cast<std::time_t>((ticks - kUnixEpoch) / 10000000ull);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

void PrintEntry(const WIN32_FIND_DATAW& entry) {
    const uint64_t size = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    std::printf("%s %12llu %s %s\n", AttributeText(entry.dwFileAttributes).c_str(),
                static_cast<unsigned long long>(size), TimeText(entry.ftLastWriteTime).c_str(),
                Narrow(entry.cFileName).c_str());
}

// PATTERN is passed to FindFirstFileW as it is; without one, "*".
int List(const Args& args) {
    if (args.empty() || args.size() > 2) return UsageError("ls needs a folder path and takes an optional pattern");
    bool ok = false;
    std::u16string spec = Wide(args[0], &ok);
    if (!ok || spec.empty()) return UsageError("'" + args[0] + "' is not a path");
    for (char16_t& c : spec) {
        if (c == u'/') c = u'\\';
    }
    const std::u16string pattern = args.size() == 2 ? Wide(args[1], &ok) : std::u16string(u"*");
    if (!ok) return UsageError("the pattern is not valid UTF-8");
    if (spec.back() != u'\\') spec += u'\\';
    spec += pattern;
    if (!ConnectHost()) return kExitFailure;

    WIN32_FIND_DATAW entry{};
    HANDLE find = FindFirstFileW(spec.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return kExitOk;  // nothing matches
        return Fail("cannot list " + args[0] + ": " + DescribeError(error));
    }
    do {
        PrintEntry(entry);
    } while (FindNextFileW(find, &entry));
    const DWORD error = GetLastError();
    FindClose(find);
    if (error != ERROR_NO_MORE_FILES) return Fail("listing " + args[0] + " broke off: " + DescribeError(error));
    return kExitOk;
}

}  // namespace

std::vector<Command> ListCommands() {
    return {{"ls", "list a folder through its drive: attributes, size, last write time, name", "PATH [PATTERN]",
             List}};
}

}  // namespace korin::cli

// Directory listings: FindFirstFileW, FindNextFileW and FindClose over
// directory queries in the FileBothDirectoryInformation layout.
//
// A find handle holds the open directory and the last buffer of entries;
// entries are handed out one per call and the next query is made when the
// buffer is used up. Entries are read with memcpy: file systems pack them
// without alignment.
#include "files_internal.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

using korin::win32::FailWith;
using korin::win32::Syscalls;

namespace {

constexpr ULONG kQueryBufferBytes = 4096;
constexpr size_t kFixedBytes = offsetof(FILE_BOTH_DIR_INFORMATION, FileName);

// DOS wildcards as file systems match them.
constexpr WCHAR kDosStar = u'<';
constexpr WCHAR kDosQm = u'>';
constexpr WCHAR kDosDot = u'"';

struct FindState {
    HANDLE directory;
    std::vector<unsigned char> buffer;
    size_t valid = 0;  // bytes the last query filled
    size_t next = 0;   // offset of the next entry to hand out
    bool atEnd = false;
};

struct FindTable {
    std::mutex mutex;
    std::map<uintptr_t, std::shared_ptr<FindState>> states;
    uintptr_t nextHandle = 0x10000;
};

FindTable& Finds() {
    static auto* table = new FindTable;
    return *table;
}

// The pattern as Win32 hands it to the file system: "*.*" is everything, and
// '?', '*' and '.' take their DOS meanings where names without an extension
// must match too.
std::u16string DosPattern(std::u16string pattern) {
    if (pattern == u"*.*") return u"*";
    for (size_t i = 0; i < pattern.size(); ++i) {
        WCHAR next = i + 1 < pattern.size() ? pattern[i + 1] : u'\0';
        if (pattern[i] == u'?') {
            pattern[i] = kDosQm;
        } else if (pattern[i] == u'.' && (next == u'?' || next == u'*' || next == u'\0')) {
            pattern[i] = kDosDot;
        } else if (pattern[i] == u'*' && next == u'.') {
            pattern[i] = kDosStar;
        }
    }
    return pattern;
}

// "\??\X:" and "\??\UNC\server\share" are opened as the root with its backslash.
bool IsRoot(const std::u16string& directory) {
    if (directory.size() == 6 && directory[5] == u':') return true;
    const std::u16string unc = u"\\??\\UNC\\";
    if (directory.compare(0, unc.size(), unc) != 0) return false;
    return std::count(directory.begin() + unc.size(), directory.end(), u'\\') <= 1;
}

FILETIME FileTime(const LARGE_INTEGER& time) {
    return {time.u.LowPart, static_cast<DWORD>(time.u.HighPart)};
}

// Copies the entry at state.next into data and moves on. FALSE when the
// entry does not lie within what the query filled.
bool TakeEntry(FindState& state, LPWIN32_FIND_DATAW data) {
    if (state.next + kFixedBytes > state.valid) return false;
    FILE_BOTH_DIR_INFORMATION entry;
    std::memcpy(&entry, state.buffer.data() + state.next, kFixedBytes);
    if (entry.FileNameLength % sizeof(WCHAR) || state.next + kFixedBytes + entry.FileNameLength > state.valid)
        return false;
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = entry.FileAttributes;
    data->ftCreationTime = FileTime(entry.CreationTime);
    data->ftLastAccessTime = FileTime(entry.LastAccessTime);
    data->ftLastWriteTime = FileTime(entry.LastWriteTime);
    data->nFileSizeHigh = static_cast<DWORD>(entry.EndOfFile.u.HighPart);
    data->nFileSizeLow = entry.EndOfFile.u.LowPart;
    if (entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) data->dwReserved0 = entry.EaSize;
    size_t nameChars = std::min<size_t>(entry.FileNameLength / sizeof(WCHAR), MAX_PATH - 1);
    std::memcpy(data->cFileName, state.buffer.data() + state.next + kFixedBytes, nameChars * sizeof(WCHAR));
    size_t shortChars = std::min<size_t>(static_cast<UCHAR>(entry.ShortNameLength) / sizeof(WCHAR), 12);
    std::memcpy(data->cAlternateFileName, entry.ShortName, shortChars * sizeof(WCHAR));
    if (entry.NextEntryOffset == 0) {
        state.next = state.valid;
    } else {
        state.next += entry.NextEntryOffset;
    }
    return true;
}

// Fills the buffer with the next entries. pattern only on the first query.
NTSTATUS Query(FindState& state, std::u16string* pattern) {
    UNICODE_STRING patternString{};
    if (pattern) {
        patternString = {static_cast<USHORT>(pattern->size() * sizeof(WCHAR)),
                         static_cast<USHORT>(pattern->size() * sizeof(WCHAR)), pattern->data()};
    }
    IO_STATUS_BLOCK io{};
    NTSTATUS status = Syscalls().QueryDirectoryFile(state.directory, &io, state.buffer.data(), kQueryBufferBytes,
                                                    FileBothDirectoryInformation, pattern ? SL_RESTART_SCAN : 0,
                                                    pattern ? &patternString : nullptr, 0);
    state.next = 0;
    state.valid = NT_SUCCESS(status) ? std::min<ULONG_PTR>(io.Information, kQueryBufferBytes) : 0;
    return status;
}

std::shared_ptr<FindState> Lookup(HANDLE handle) {
    FindTable& table = Finds();
    std::lock_guard lock(table.mutex);
    auto it = table.states.find(reinterpret_cast<uintptr_t>(handle));
    return it == table.states.end() ? nullptr : it->second;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    std::optional<std::u16string> ntName = lpFileName ? korin::win32::Win32PathToNtPath(lpFileName) : std::nullopt;
    if (!lpFindFileData || !ntName) {
        SetLastError(lpFindFileData && lpFileName ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    size_t split = ntName->rfind(u'\\');
    std::u16string pattern = ntName->substr(split + 1);
    if (pattern.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string directory = ntName->substr(0, split);
    if (IsRoot(directory)) directory += u'\\';
    // The directory is already in NT form; "\??\" names pass through unchanged.
    HANDLE handle;
    NTSTATUS status = korin::win32::OpenWin32Path(
        directory.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT, &handle);
    if (!NT_SUCCESS(status)) {
        // The missing name is the directory: a path that leads nowhere.
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto state = std::make_shared<FindState>();
    state->directory = handle;
    state->buffer.resize(kQueryBufferBytes);
    std::u16string dosPattern = DosPattern(pattern);
    status = Query(*state, &dosPattern);
    if (!NT_SUCCESS(status) || !TakeEntry(*state, lpFindFileData)) {
        Syscalls().Close(handle);
        // Nothing matched: "file not found", whichever end status the file system chose.
        if (status == STATUS_NO_SUCH_FILE || status == STATUS_NO_MORE_FILES || NT_SUCCESS(status)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
        } else {
            FailWith(status);
        }
        return INVALID_HANDLE_VALUE;
    }
    FindTable& table = Finds();
    std::lock_guard lock(table.mutex);
    uintptr_t value = table.nextHandle;
    table.nextHandle += 4;
    table.states.emplace(value, std::move(state));
    return reinterpret_cast<HANDLE>(value);
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    std::shared_ptr<FindState> state = Lookup(hFindFile);
    if (!state) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (TakeEntry(*state, lpFindFileData)) return TRUE;
    if (!state->atEnd) {
        NTSTATUS status = Query(*state, nullptr);
        if (NT_SUCCESS(status) && TakeEntry(*state, lpFindFileData)) return TRUE;
        state->atEnd = true;
        if (!NT_SUCCESS(status) && status != STATUS_NO_MORE_FILES && status != STATUS_NO_SUCH_FILE)
            return FailWith(status);
    }
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

BOOL FindClose(HANDLE hFindFile) {
    std::shared_ptr<FindState> state;
    {
        FindTable& table = Finds();
        std::lock_guard lock(table.mutex);
        auto it = table.states.find(reinterpret_cast<uintptr_t>(hFindFile));
        if (it == table.states.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        state = std::move(it->second);
        table.states.erase(it);
    }
    Syscalls().Close(state->directory);
    return TRUE;
}

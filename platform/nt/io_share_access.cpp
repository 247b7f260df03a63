// Share access: what the opens of one file allow each other.
//
// Only reading (read data or execute), writing (write or append data) and
// deleting count; an open that asks for none of them (attributes only, say)
// neither conflicts with others nor is recorded.
#include "io.h"

namespace {

struct Intent {
    bool read, write, del;
    bool sharedRead, sharedWrite, sharedDelete;
    bool Any() const { return read || write || del; }
};

Intent IntentOf(ACCESS_MASK desiredAccess, ULONG desiredShareAccess) {
    return {(desiredAccess & (FILE_READ_DATA | FILE_EXECUTE)) != 0,
            (desiredAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0,
            (desiredAccess & DELETE) != 0,
            (desiredShareAccess & FILE_SHARE_READ) != 0,
            (desiredShareAccess & FILE_SHARE_WRITE) != 0,
            (desiredShareAccess & FILE_SHARE_DELETE) != 0};
}

// The file object records what its open asked for; update and remove read it back.
void Record(PFILE_OBJECT fileObject, const Intent& intent) {
    fileObject->ReadAccess = intent.read;
    fileObject->WriteAccess = intent.write;
    fileObject->DeleteAccess = intent.del;
    if (intent.Any()) {
        fileObject->SharedRead = intent.sharedRead;
        fileObject->SharedWrite = intent.sharedWrite;
        fileObject->SharedDelete = intent.sharedDelete;
    }
}

Intent IntentOf(PFILE_OBJECT fileObject) {
    return {fileObject->ReadAccess != 0, fileObject->WriteAccess != 0, fileObject->DeleteAccess != 0,
            fileObject->SharedRead != 0, fileObject->SharedWrite != 0, fileObject->SharedDelete != 0};
}

void Add(PSHARE_ACCESS share, const Intent& intent, int sign) {
    share->OpenCount += sign;
    share->Readers += sign * intent.read;
    share->Writers += sign * intent.write;
    share->Deleters += sign * intent.del;
    share->SharedRead += sign * intent.sharedRead;
    share->SharedWrite += sign * intent.sharedWrite;
    share->SharedDelete += sign * intent.sharedDelete;
}

}  // namespace

// STATUS_SHARING_VIOLATION when the new open wants what an existing open does
// not share, or refuses to share what an existing open uses.
NTSTATUS IoCheckShareAccess(ACCESS_MASK desiredAccess, ULONG desiredShareAccess, PFILE_OBJECT fileObject,
                            PSHARE_ACCESS shareAccess, BOOLEAN update) {
    Intent intent = IntentOf(desiredAccess, desiredShareAccess);
    Record(fileObject, intent);
    if (!intent.Any()) return STATUS_SUCCESS;
    const SHARE_ACCESS& s = *shareAccess;
    if ((intent.read && s.SharedRead < s.OpenCount) || (intent.write && s.SharedWrite < s.OpenCount) ||
        (intent.del && s.SharedDelete < s.OpenCount) || (s.Readers && !intent.sharedRead) ||
        (s.Writers && !intent.sharedWrite) || (s.Deleters && !intent.sharedDelete))
        return STATUS_SHARING_VIOLATION;
    if (update) Add(shareAccess, intent, +1);
    return STATUS_SUCCESS;
}

// The first open of a file: the share access becomes exactly this open's.
void IoSetShareAccess(ACCESS_MASK desiredAccess, ULONG desiredShareAccess, PFILE_OBJECT fileObject,
                      PSHARE_ACCESS shareAccess) {
    Intent intent = IntentOf(desiredAccess, desiredShareAccess);
    Record(fileObject, intent);
    *shareAccess = SHARE_ACCESS{};
    if (intent.Any()) Add(shareAccess, intent, +1);
}

void IoUpdateShareAccess(PFILE_OBJECT fileObject, PSHARE_ACCESS shareAccess) {
    Intent intent = IntentOf(fileObject);
    if (intent.Any()) Add(shareAccess, intent, +1);
}

void IoRemoveShareAccess(PFILE_OBJECT fileObject, PSHARE_ACCESS shareAccess) {
    Intent intent = IntentOf(fileObject);
    if (intent.Any()) Add(shareAccess, intent, -1);
}

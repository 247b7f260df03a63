// Registry set-up for fixtures that start KRDriver in-process: keys, values
// and the stored drive record. The programs that use it link korin_kernel.
#pragma once

#include "platform/nt/zw.h"

#include <string>

namespace korin::testsupport {

// A key handle of the kernel, closed at scope exit.
class KeyHandle {
public:
    KeyHandle() = default;
    ~KeyHandle() {
        if (h_) ZwClose(h_);
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    HANDLE* out() { return &h_; }
    HANDLE get() const { return h_; }

private:
    HANDLE h_ = nullptr;
};

// Opens the key at path, or creates it when create is true.
NTSTATUS OpenOrCreateKey(KeyHandle& key, const std::u16string& path, bool create);

// Creates every level of path from \Registry\Machine down.
void CreateKeyPath(const std::u16string& path);

// Sets a value of the key at keyPath: a key that must exist, or one created
// first when createKey is true.
void SetValue(const std::u16string& keyPath, const std::u16string& valueName, ULONG type, const void* data,
              ULONG size, bool createKey);

// Drive instance 0 under driveKey (its "0" key made), with NextInstance 1
// and the record of letter and label.
void StoreDriveZero(const std::u16string& driveKey, WCHAR letter, const std::u16string& label, bool createKeys);

}  // namespace korin::testsupport

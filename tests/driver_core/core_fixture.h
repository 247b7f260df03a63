// The machine for KRDriver's core tests: a temporary registry holding the
// driver's service key with its Drive key, a fresh object namespace, and the
// driver started in-process as the service control manager would start it.
// Every test ends with the driver unloaded and no pool block of the driver's
// tags left.
#pragma once

#include "driver/dispatch.h"
#include "driver/drive.h"
#include "driver/store.h"
#include "tests/support/counted.h"
#include "tests/support/drive_lock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korin::drivercore {

inline const std::u16string kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRDriver";
inline const std::u16string kDriveKey = kServiceKey + u"\\Drive";

using testsupport::Counted;
using testsupport::Text;
std::string Narrow(const std::u16string& text);
// A pool tag from its four characters at run time.
inline ULONG Tag(const char* text) {
    return static_cast<UCHAR>(text[0]) | static_cast<UCHAR>(text[1]) << 8 | static_cast<UCHAR>(text[2]) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}

// The bytes of a DriveRecord: letter, name length, name.
std::vector<uint8_t> DriveRecord(char16_t letter, const std::u16string& name);
// The bytes of a REG_SZ value holding text and its NUL.
std::vector<uint8_t> StringData(const std::u16string& text);

// ----- The registry, through kernel handles --------------------------------------------------
struct RegValue {
    ULONG type = 0;
    std::vector<uint8_t> data;
};
void CreateKeyPath(const std::u16string& path);  // every missing level below \Registry\Machine
bool KeyExists(const std::u16string& path);
void SetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type, const std::vector<uint8_t>& data);
void SetDword(const std::u16string& keyPath, const std::u16string& name, ULONG value);
std::optional<RegValue> ReadValue(const std::u16string& keyPath, const std::u16string& name);
void DeleteValue(const std::u16string& keyPath, const std::u16string& name);
std::vector<std::u16string> Subkeys(const std::u16string& path);
std::vector<std::u16string> ValueNames(const std::u16string& path);

// ----- The driver ------------------------------------------------------------------------------
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the driver and returns what DriverEntry answered.
    NTSTATUS Start();
    void Stop();
    void Restart() {
        Stop();
        Start();
    }
    PDRIVER_OBJECT Driver() const { return driver_; }

    // A stored drive: its DriveRecord value and (unless withoutKey) its folder key.
    void StoreDrive(const std::u16string& instance, char16_t letter, const std::u16string& name,
                    bool withKey = true);
    // A drive made through the driver's own create request.
    NTSTATUS CreateDriveNow(char16_t letter, const std::u16string& name);

    VCB* Drive(char16_t letter) const { return VcbFromLetter(letter); }
    TREE_NODE* Root(char16_t letter) const;
    // Tree operations made the way the handlers make them, under the drive's lock.
    TREE_NODE* AddFolder(TREE_NODE* parent, const std::u16string& name);
    TREE_NODE* AddMapping(TREE_NODE* parent, const std::u16string& name, const std::u16string& target);
    TREE_NODE* Find(char16_t letter, const std::u16string& path);  // "a\b", "" for the root
    std::vector<std::u16string> Children(TREE_NODE* node);
    // The target of the link "\??\X:" (empty when there is none).
    std::u16string LinkTarget(const std::u16string& link) const;
    bool DeviceExists(const std::u16string& name) const;

    // Pool blocks of the driver's tags alive right now.
    static std::map<std::string, size_t> DriverBlocks();

private:
    std::string dir_;
    PDRIVER_OBJECT driver_ = nullptr;
};

// The drive a node of its tree belongs to.
VCB* VcbOf(TREE_NODE* node);

// Holds a drive's lock for a scope, as a handler does.
using testsupport::DriveLock;

}  // namespace korin::drivercore

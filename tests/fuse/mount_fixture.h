// A machine with a real FUSE mount, all in the test process: a temporary
// registry, a temporary host directory served as host drive H:, KRDriver
// started with drive X: ("Projects", instance 0) and the mount manager
// mounting X: below a temporary mount root. Changes to the drive go through
// control requests, as the korin command sends them; looks at it go through
// the mount with ordinary Linux calls.
#pragma once

#include "host/fuse/drive_fs.h"
#include "host/fuse/fuse_mounts.h"
#include "platform/nt/process.h"
#include "platform/nt/syscalls.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korin::fusetest {

using fuse::DriveFs;
using fuse::DriveMounts;
using fuse::MountOptions;
using fuse::MountSettings;

// A registry value the store holds before the driver starts (as a
// hand-edited registry could): a mapping named name, in folder ("" for the
// root), to target.
struct StoredMapping {
    std::u16string Folder;
    std::u16string Name;
    std::u16string Target;
};

class MountTest : public ::testing::Test {
protected:
    static constexpr char16_t kLetter = u'X';
    static constexpr char16_t kHostLetter = u'H';

    void SetUp() override { StartMachine({}); }
    void TearDown() override;

    // Boots the machine with extra mappings stored in the registry.
    void StartMachine(const std::vector<StoredMapping>& stored, MountSettings settings = {});
    // Stops the mounts and the machine (TearDown does it too).
    void StopMachine();

    // ----- Host side ---------------------------------------------------------------
    std::string HostPath(const std::string& relative) const { return hostDir_ + "/" + relative; }
    void WriteHostFile(const std::string& relative, const std::string& contents);
    static std::string ReadFile(const std::string& path);
    void MakeHostDirectory(const std::string& relative);

    // ----- The mount -------------------------------------------------------------
    std::string MountRoot() const { return dir_ + "/mnt"; }
    std::string MountPath(const std::string& relative = "") const {
        return relative.empty() ? MountRoot() + "/X" : MountRoot() + "/X/" + relative;
    }
    DriveMounts& Mounts() { return *mounts_; }
    std::shared_ptr<DriveFs> Mount() { return mounts_->MountOf(kLetter); }
    // Names of a directory through the mount, sorted, without "." and "..".
    static std::vector<std::string> List(const std::string& path);
    // Log lines of the mount layer so far.
    std::vector<std::string> LogLines();

    // ----- Control requests (status word, or the completion status) -------------------
    NTSTATUS Control(ULONG code, const std::u16string& input, std::vector<uint8_t>* output = nullptr);
    NTSTATUS CreateFolder(const std::u16string& path) { return Control(IOCTL_CODE_CREATE_FOLDER, path); }
    NTSTATUS CreateMapping(const std::u16string& path, const std::u16string& target);
    NTSTATUS DeleteMapping(const std::u16string& path) { return Control(IOCTL_CODE_DELETE_MAPPING, path); }
    NTSTATUS DeleteFolder(const std::u16string& path) { return Control(IOCTL_CODE_DELETE_FOLDER, path); }
    NTSTATUS RenameFolder(const std::u16string& path, const std::u16string& newName);
    NTSTATUS RenameMapping(const std::u16string& path, const std::u16string& newName);
    // The item type the driver reports for a path (ItemType values).
    uint32_t ItemTypeOf(const std::u16string& path);

    static constexpr ULONG IOCTL_CODE_CREATE_FOLDER = 0xCD4B2404;
    static constexpr ULONG IOCTL_CODE_CREATE_MAPPING = 0xCD4B2408;
    static constexpr ULONG IOCTL_CODE_DELETE_FOLDER = 0xCD4B2410;
    static constexpr ULONG IOCTL_CODE_DELETE_MAPPING = 0xCD4B2414;
    static constexpr ULONG IOCTL_CODE_QUERY_ITEM_TYPE = 0xCD4B2418;
    static constexpr ULONG IOCTL_CODE_RENAME_MAPPING = 0xCD4B241C;
    static constexpr ULONG IOCTL_CODE_RENAME_FOLDER = 0xCD4B2420;
    static constexpr ULONG IOCTL_CODE_CHANGE_DRIVE_LETTER = 0xCD4B2444;
    static constexpr ULONG IOCTL_CODE_DELETE_DRIVE = 0xCD4B240C;

    std::string dir_;
    std::string hostDir_;
    PDRIVER_OBJECT hostFs_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<ps::Process> process_;
    std::unique_ptr<ps::ProcessScope> scope_;
    std::unique_ptr<DriveMounts> mounts_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

// errno of a call returning -1, or 0.
inline int ErrnoOf(int result) { return result == 0 ? 0 : errno; }

}  // namespace korin::fusetest

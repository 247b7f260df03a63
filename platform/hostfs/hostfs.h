// The host file system: this machine's directories served as volumes.
//
// Each host drive letter gets a volume device "\Device\HostVolume<L>"
// (FILE_DEVICE_DISK_FILE_SYSTEM) and the link "\??\<L>:" to it; UNC paths get
// "\Device\Mup" (FILE_DEVICE_NETWORK_FILE_SYSTEM) and the link "\??\UNC".
// "\\server\share\x" is <UNC root>/server/share/x; without a UNC root every
// UNC open fails with STATUS_BAD_NETWORK_PATH, as an unreachable network.
//
// korin-host starts the driver with
//   korin::io::StartBuiltinDriver(HostFsDriverEntry, korin::hostfs::kServiceName,
//                                 SERVICE_FILE_SYSTEM_DRIVER, &driver)
// after setting the configuration; Configure may also be called later and
// applies the difference to the running volumes.
#pragma once

#include "platform/nt/io.h"

#include <optional>
#include <string>
#include <vector>

NTSTATUS HostFsDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace korin::hostfs {

inline constexpr char16_t kServiceName[] = u"HostFs";

struct HostDrive {
    char16_t Letter;        // 'A'..'Z' (lower case accepted)
    std::string Directory;  // absolute host directory
};

struct Configuration {
    std::vector<HostDrive> Drives{{u'C', "/"}};
    std::optional<std::string> UncRoot;  // absent: UNC paths are unreachable
};

// Validates and stores the configuration; when the driver runs, also applies
// it: links of dropped letters go (their devices stay until unload, so open
// handles keep working), new letters get a device and a link, changed
// directories take effect for the next open.
// STATUS_INVALID_PARAMETER for a bad letter, a duplicate letter or a
// directory that is not absolute; STATUS_OBJECT_PATH_NOT_FOUND when a
// directory does not exist (nothing is applied in either case). When the link
// of one letter cannot be made (the name is taken), the other letters are
// still applied and that status is returned.
NTSTATUS Configure(const Configuration& configuration);
Configuration CurrentConfiguration();

// TRUE for the volume devices of this driver (host drive letters and Mup);
// korin-host mounts FUSE only for volumes that are not host drives.
bool IsHostVolume(PDEVICE_OBJECT device);

// The host file descriptor behind a file object opened on a host volume
// (owned by the file object, valid until its close), or -1 for any other file
// object. Opens without read or write data access hold an O_PATH descriptor.
int DescriptorOf(PFILE_OBJECT fileObject);

}  // namespace korin::hostfs

// A small in-memory file system on a TestDriver, enough for the Win32 file
// calls to run against: files with data, directories, create dispositions,
// opens of a rename's target directory, renames, delete on last cleanup,
// listings (FileBothDirectoryInformation, with patterns) and volume
// information. Names are paths from the volume's root, compared without case.
#pragma once

#include "test_driver.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace korin::test {

class MemFs {
public:
    // A volume device named deviceName with the DOS name letter ("X:").
    MemFs(TestDriver& driver, const std::u16string& deviceName, const std::u16string& letter);

    void AddDirectory(const std::u16string& path);
    void AddFile(const std::u16string& path, const std::string& data = "");
    bool Exists(const std::u16string& path) const;
    std::string Data(const std::u16string& path) const;

    std::u16string label = u"MemVol";
    ULONG serial = 0x1234ABCD;

private:
    struct Node {
        std::u16string name;  // as created
        bool directory = false;
        std::string data;
    };
    // What an open leaves in FsContext2.
    struct Open {
        std::u16string path;  // upper case, "" for the root
        bool deleteOnCleanup = false;
        size_t listed = 0;  // entries a listing has handed out
        std::u16string pattern;
    };

    NTSTATUS Create(PIRP irp);
    NTSTATUS QueryInformation(PIRP irp, Open& open);
    NTSTATUS SetInformation(PIRP irp, Open& open);
    NTSTATUS QueryDirectory(PIRP irp, Open& open);
    NTSTATUS QueryVolume(PIRP irp);
    NTSTATUS ReadWrite(PIRP irp, Open& open);
    std::vector<std::u16string> Children(const std::u16string& directory) const;

    mutable std::mutex mutex_;
    std::map<std::u16string, Node> nodes_;  // by upper-cased path; "" is the root
};

}  // namespace korin::test

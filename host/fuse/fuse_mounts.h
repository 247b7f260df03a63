// Drive letters of virtual drives as FUSE mounts.
//
// Whenever "\??\X:" links to a volume that is not a host drive, the letter is
// mounted at <mount root>/X; when the link goes (or leads elsewhere) the mount
// goes. Mounts left by a host that was killed are removed at start. The
// mounts belong to the user running korin-host: nobody else can reach them.
//
// korin-host calls StartDriveMounts once its drivers are up and
// StopDriveMounts at exit; tests may run a DriveMounts of their own.
#pragma once

#include "log.h"
#include "mount_settings.h"

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korin::fuse {

class DriveFs;

struct MountOptions {
    std::string MountRoot;  // made (mode 0700) when missing
    MountSettings Settings;
    LogSink Log;  // nullptr: stderr
};

// The default mount root inside the host's home: <home>/mnt.
std::string DefaultMountRoot(const std::string& home);

class DriveMounts {
public:
    explicit DriveMounts(MountOptions options);
    ~DriveMounts();  // Stop()
    DriveMounts(const DriveMounts&) = delete;
    DriveMounts& operator=(const DriveMounts&) = delete;

    // Removes stale mounts below the root, then follows the "\??" links and
    // mounts the letters that lead to drives. Returns 0, or the errno of a
    // mount root that cannot be made.
    int Start();
    // Stops following links and unmounts everything. Idempotent.
    void Stop();

    // Waits until every link change seen so far has been acted on.
    bool Settle(std::chrono::milliseconds timeout);
    // The mounted letters and their mount points.
    std::vector<std::pair<char16_t, std::string>> Mounted() const;
    std::shared_ptr<DriveFs> MountOf(char16_t letter) const;

    struct State;

private:
    void Run();
    void Reconcile(char16_t letter);
    void UnmountLetter(char16_t letter);

    MountOptions options_;
    std::shared_ptr<State> state_;
};

// The instance korin-host runs: started once at boot, stopped at exit.
int StartDriveMounts(MountOptions options);
void StopDriveMounts();

}  // namespace korin::fuse

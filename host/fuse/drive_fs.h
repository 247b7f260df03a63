// One drive letter mounted with FUSE: the session, its worker threads, the
// process its syscalls are made in, its inodes and the invalidation of what
// the kernel caches.
//
// Requests become syscalls on "\??\X:\..." in the mount's own process; the
// drive's driver decides everything and reparses are followed by the I/O
// manager. A handle that ends on a host file is served by passing through to
// the host descriptor behind it.
//
// Threads: Workers threads take requests from /dev/fuse (each has its own
// epoll set; the device is non-blocking and woken exclusively, so one request
// wakes one thread); the invalidation thread sends the kernel the
// invalidations; Mount and Unmount come from the mount manager's thread.
//
// Locks (take in this order; only OpenDir::Mutex is held across syscalls to
// the drive, and OpenObjects' mutex across a host call on a descriptor it
// keeps open; none across a reply):
//
//   | lock                    | guards                                        |
//   |-------------------------|-----------------------------------------------|
//   | OpenDir::Mutex          | one listing request of that open at a time    |
//   | hiddenMutex_            | files removed while open (hidden_)            |
//   | OpenObjects' mutex      | the set of opens                              |
//   | InodeTable's mutex      | inodes, names, stamps (a leaf)                |
//   | invalidationMutex_      | invalidation requests and passes (a leaf)     |
//   | logMutex_               | keys already logged (a leaf)                  |
#pragma once

#include "fuse_api.h"
#include "inode_table.h"
#include "mount_settings.h"
#include "open_objects.h"
#include "platform/nt/io.h"
#include "platform/nt/process.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace korin::fuse {

class DriveFs {
public:
    // letter: 'A'..'Z'; volume: the device "\??\X:" leads to.
    DriveFs(char16_t letter, PDEVICE_OBJECT volume, std::string mountPoint, const MountSettings& settings);
    ~DriveFs();
    DriveFs(const DriveFs&) = delete;
    DriveFs& operator=(const DriveFs&) = delete;

    // Mounts at MountPoint() (which must exist) and starts serving. Returns 0
    // or an errno; a failed mount leaves nothing behind.
    int Mount();
    // Stops serving and unmounts (lazily: programs still inside see the
    // connection gone). Idempotent.
    void Unmount();
    // Called once, from a worker, when the connection goes away on its own
    // (unmounted from outside, or aborted). Set before Mount.
    void SetLostHandler(std::function<void()> handler) { onLost_ = std::move(handler); }
    bool Lost() const { return lost_; }

    char16_t Letter() const { return letter_; }
    PDEVICE_OBJECT Volume() const { return volume_; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    const std::string& MountPoint() const { return mountPoint_; }
    const MountSettings& Settings() const { return settings_; }
    InodeTable& Inodes() { return inodes_; }
    ps::Process& Process() { return process_; }
    OpenObjects& Opens() { return opens_; }

    // Drops the kernel's attributes of one inode (not its data). Safe inside a
    // request: it takes no lock a request holds.
    void InvalidateAttributes(fuse_ino_t ino);

    // Timeouts for the kernel's entries and attributes.
    double EntryTimeout(ItemKind parentKind) const;
    double AttrTimeout(ItemKind kind) const;

    // Asks for the kernel's entries in the drive's own folders and their
    // attributes to be invalidated, coalescing bursts; waits (bounded) for it
    // when wait is set.
    void Invalidate(bool wait);
    // Completed invalidation passes (tests).
    uint64_t InvalidationPasses() const;

    // ----- Files removed while open ---------------------------------------------
    // Linux frees a file's name at unlink even while it is open; the file
    // system behind a drive deletes a file at its last close. A file removed
    // while an open of it is not yet released is therefore first renamed to a
    // hidden name in its directory (left out of listings) and deleted from
    // there when that open goes.
    void NoteHidden(fuse_ino_t parent, const std::u16string& name, const std::shared_ptr<Inode>& node);
    bool IsHidden(fuse_ino_t parent, const std::u16string& name);
    // An open of node was released: a hidden file with no open left is gone.
    void OnReleased(const Inode* node);
    // Waits (bounded) until no hidden file is left in directory; FALSE when
    // there was none to wait for.
    bool WaitForHiddenIn(fuse_ino_t directory, std::chrono::milliseconds timeout);
    // A fresh hidden name for node.
    std::u16string HiddenName(fuse_ino_t node);

    // Logs message once per key for the mount's life.
    void LogOnce(const std::string& key, const std::string& message);

    // The mount whose request the calling thread is serving, or NULL.
    static DriveFs* Serving();

private:
    void Worker(int index);
    void StopWorkers();
    void InvalidationThread();
    void InvalidateNow();

    const char16_t letter_;
    PDEVICE_OBJECT const volume_;
    PDRIVER_OBJECT const driver_;
    const std::string mountPoint_;
    const MountSettings settings_;
    ps::Process process_;
    InodeTable inodes_;
    OpenObjects opens_;

    fuse_session* session_ = nullptr;
    int stopEvent_ = -1;  // eventfd: wakes every worker to stop
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> workers_;
    bool mounted_ = false;
    std::function<void()> onLost_;
    std::atomic<bool> lost_{false};

    // Invalidation: requested_ counts requests, done_ the last one a finished
    // pass covered. Under invalidationMutex_.
    mutable std::mutex invalidationMutex_;
    std::condition_variable invalidationWake_;
    std::condition_variable invalidationDone_;
    uint64_t requested_ = 0;
    uint64_t done_ = 0;
    uint64_t passes_ = 0;
    bool invalidationStop_ = false;
    std::thread invalidationThread_;

    struct HiddenFile {
        fuse_ino_t Parent;
        std::u16string Name;
        std::shared_ptr<Inode> Node;
    };
    std::mutex hiddenMutex_;
    std::condition_variable hiddenGone_;
    std::vector<HiddenFile> hidden_;
    uint64_t hiddenCounter_ = 0;

    std::mutex logMutex_;
    std::set<std::string> logged_;
};

// The operations table of every drive mount (operations.cpp).
const fuse_lowlevel_ops& DriveOperations();

}  // namespace korin::fuse

// A drive's FUSE session: mounting, the worker threads, unmounting and the
// invalidation thread.
#include "drive_fs.h"

#include "log.h"
#include "names.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace korin::fuse {
namespace {

thread_local DriveFs* t_serving = nullptr;

std::string Narrow(char16_t letter) { return std::string(1, static_cast<char>(letter)); }

}  // namespace

DriveFs::DriveFs(char16_t letter, PDEVICE_OBJECT volume, std::string mountPoint, const MountSettings& settings)
    : letter_(letter),
      volume_(volume),
      driver_(volume ? volume->DriverObject : nullptr),
      mountPoint_(std::move(mountPoint)),
      settings_(settings),
      process_("korin-fuse " + Narrow(letter) + ":"),
      inodes_(std::u16string(u"\\??\\") + letter + u":") {}

DriveFs::~DriveFs() { Unmount(); }

DriveFs* DriveFs::Serving() { return t_serving; }

double DriveFs::EntryTimeout(ItemKind parentKind) const {
    return parentKind == ItemKind::DriveRoot || parentKind == ItemKind::Virtual ? settings_.VirtualTimeout
                                                                                : settings_.HostTimeout;
}

double DriveFs::AttrTimeout(ItemKind kind) const {
    return kind == ItemKind::DriveRoot || kind == ItemKind::Virtual ? settings_.VirtualTimeout : settings_.HostTimeout;
}

int DriveFs::Mount() {
    std::string options = "fsname=korin:" + Narrow(letter_) + ",subtype=korin";
    std::vector<std::string> words = {"korin-host", "-o", options};
    if (settings_.Debug) words.push_back("-d");
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    session_ = fuse_session_new(&args, &DriveOperations(), sizeof(fuse_lowlevel_ops), this);
    fuse_opt_free_args(&args);
    if (!session_) return EINVAL;
    if (fuse_session_mount(session_, mountPoint_.c_str()) != 0) {
        fuse_session_destroy(session_);
        session_ = nullptr;
        return EIO;
    }
    // Workers wait in epoll and read without blocking: a request wakes one of
    // them, and a stop wakes all.
    int fd = fuse_session_fd(session_);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    stopEvent_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    stopping_ = false;
    {
        std::lock_guard lock(invalidationMutex_);
        invalidationStop_ = false;
        requested_ = done_ = 0;
    }
    invalidationThread_ = std::thread(&DriveFs::InvalidationThread, this);
    unsigned workers = settings_.Workers ? settings_.Workers : 1;
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back(&DriveFs::Worker, this, static_cast<int>(i));
    std::lock_guard lock(invalidationMutex_);
    mounted_ = true;
    return 0;
}

// One worker: waits for a request or the stop event, serves requests until
// told to stop or the connection is gone.
void DriveFs::Worker(int) {
    ps::ProcessScope scope(process_);
    t_serving = this;
    int fuseFd = fuse_session_fd(session_);
    int poller = epoll_create1(EPOLL_CLOEXEC);
    epoll_event request{};
    request.events = EPOLLIN | EPOLLEXCLUSIVE;
    request.data.u32 = 0;
    epoll_event stop{};
    stop.events = EPOLLIN;
    stop.data.u32 = 1;
    if (poller < 0 || epoll_ctl(poller, EPOLL_CTL_ADD, fuseFd, &request) != 0 ||
        epoll_ctl(poller, EPOLL_CTL_ADD, stopEvent_, &stop) != 0) {
        Log("%s: cannot wait for requests (%s); this worker stops", mountPoint_.c_str(), std::strerror(errno));
        if (poller >= 0) close(poller);
        return;
    }
    fuse_buf buffer{};
    while (!stopping_) {
        epoll_event ready[2];
        int n = epoll_wait(poller, ready, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        bool stopNow = false;
        for (int i = 0; i < n; ++i) stopNow |= ready[i].data.u32 == 1;
        if (stopNow || stopping_) break;
        int received = fuse_session_receive_buf(session_, &buffer);
        if (received == -EAGAIN || received == -EINTR) continue;
        if (received <= 0) {
            // The connection is gone (unmounted from outside, or aborted).
            if (!stopping_ && !lost_.exchange(true) && onLost_) onLost_();
            break;
        }
        fuse_session_process_buf(session_, &buffer);
    }
    std::free(buffer.mem);
    close(poller);
    t_serving = nullptr;
}

void DriveFs::StopWorkers() {
    stopping_ = true;
    if (stopEvent_ >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(stopEvent_, &one, sizeof one);
    }
    for (auto& worker : workers_) worker.join();
    workers_.clear();
}

void DriveFs::Unmount() {
    if (!session_) return;
    StopWorkers();
    {
        std::lock_guard lock(invalidationMutex_);
        invalidationStop_ = true;
    }
    invalidationWake_.notify_all();
    if (invalidationThread_.joinable()) invalidationThread_.join();
    // Closing the device ends the connection: programs still inside the
    // mount get ENOTCONN instead of waiting for answers that cannot come.
    fuse_session_unmount(session_);
    fuse_session_destroy(session_);
    session_ = nullptr;
    if (stopEvent_ >= 0) close(stopEvent_);
    stopEvent_ = -1;
    {
        std::lock_guard lock(invalidationMutex_);
        mounted_ = false;
    }
    // Opens the kernel never released: their handles close in the mount's process.
    ps::ProcessScope scope(process_);
    opens_.Clear();
}

void DriveFs::Invalidate(bool wait) {
    std::unique_lock lock(invalidationMutex_);
    if (invalidationStop_ || !mounted_) return;
    uint64_t mine = ++requested_;
    invalidationWake_.notify_one();
    if (!wait) return;
    auto deadline = std::chrono::milliseconds(settings_.InvalidationWaitMs);
    if (!invalidationDone_.wait_for(lock, deadline, [&] { return done_ >= mine || invalidationStop_; })) {
        Log("%s: the kernel's caches are still being invalidated after %u ms; going on", mountPoint_.c_str(),
            settings_.InvalidationWaitMs);
    }
}

uint64_t DriveFs::InvalidationPasses() const {
    std::lock_guard lock(invalidationMutex_);
    return passes_;
}

// Serves invalidation requests: each pass covers every request made before it
// started, so a burst of changes costs one or two passes.
void DriveFs::InvalidationThread() {
    std::unique_lock lock(invalidationMutex_);
    for (;;) {
        invalidationWake_.wait(lock, [&] { return invalidationStop_ || requested_ > done_; });
        if (invalidationStop_) break;
        uint64_t covered = requested_;
        lock.unlock();
        InvalidateNow();
        lock.lock();
        done_ = covered;
        ++passes_;
        invalidationDone_.notify_all();
    }
    done_ = requested_;
    invalidationDone_.notify_all();
}

// Drops every entry the kernel holds in the drive's own folders (a later
// lookup asks again), and the attributes and cached listings of those folders.
void DriveFs::InvalidateNow() {
    for (const auto& entry : inodes_.NamesInVirtualFolders()) {
        std::string name;
        if (!LinuxFromWide(entry.Name, &name)) continue;
        fuse_lowlevel_notify_inval_entry(session_, entry.Parent, name.c_str(), name.size());
    }
    // Their attributes and the listings the kernel keeps of them.
    for (fuse_ino_t ino : inodes_.VirtualFolders()) {
        if (auto inode = inodes_.Find(ino)) inodes_.SetListedAt(*inode, {});
        fuse_lowlevel_notify_inval_inode(session_, ino, 0, 0);
    }
}

void DriveFs::InvalidateAttributes(fuse_ino_t ino) {
    if (session_) fuse_lowlevel_notify_inval_inode(session_, ino, -1, 0);
}

void DriveFs::NoteHidden(fuse_ino_t parent, const std::u16string& name, const std::shared_ptr<Inode>& node) {
    std::lock_guard lock(hiddenMutex_);
    hidden_.push_back({parent, name, node});
    // Released meanwhile: deleted already.
    if (!opens_.HasOpenFileOf(node.get())) hidden_.pop_back();
}

bool DriveFs::IsHidden(fuse_ino_t parent, const std::u16string& name) {
    std::lock_guard lock(hiddenMutex_);
    for (const HiddenFile& file : hidden_) {
        if (file.Parent == parent && file.Name == name) return true;
    }
    return false;
}

void DriveFs::OnReleased(const Inode* node) {
    std::lock_guard lock(hiddenMutex_);
    if (hidden_.empty() || opens_.HasOpenFileOf(node)) return;
    std::erase_if(hidden_, [&](const HiddenFile& file) { return file.Node.get() == node; });
    hiddenGone_.notify_all();
}

bool DriveFs::WaitForHiddenIn(fuse_ino_t directory, std::chrono::milliseconds timeout) {
    std::unique_lock lock(hiddenMutex_);
    auto noneIn = [&] {
        for (const HiddenFile& file : hidden_) {
            if (file.Parent == directory) return false;
        }
        return true;
    };
    if (noneIn()) return false;
    hiddenGone_.wait_for(lock, timeout, noneIn);
    return true;
}

std::u16string DriveFs::HiddenName(fuse_ino_t node) {
    uint64_t serial;
    {
        std::lock_guard lock(hiddenMutex_);
        serial = ++hiddenCounter_;
    }
    char text[64];
    std::snprintf(text, sizeof text, ".korin-removed-%llx-%llx", static_cast<unsigned long long>(node),
                  static_cast<unsigned long long>(serial));
    return std::u16string(text, text + std::strlen(text));
}

void DriveFs::LogOnce(const std::string& key, const std::string& message) {
    {
        std::lock_guard lock(logMutex_);
        if (!logged_.insert(key).second) return;
    }
    Log("%s", message.c_str());
}

}  // namespace korin::fuse

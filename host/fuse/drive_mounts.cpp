// The mount manager: follows "\??" links and keeps one mount per letter that
// leads to a drive, and turns completed changing requests into invalidations.
//
// Link changes arrive in whatever thread made them (possibly inside the
// namespace's change lock); they are only queued there. One thread of our
// own mounts and unmounts, re-reading the link each time, so a burst of
// changes to one letter ends in the state the link has at the end.
#include "fuse_mounts.h"

#include "change_scope.h"
#include "drive_fs.h"
#include "log.h"
#include "stale_mounts.h"

#include "platform/hostfs/hostfs.h"
#include "platform/nt/ob.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace korin::fuse {

// Shared with the observers, which may outlive the manager by one call.
struct DriveMounts::State {
    std::mutex mutex;  // guards everything below
    std::condition_variable wake;
    std::condition_variable settled;
    std::deque<std::pair<char16_t, uint64_t>> pending;  // letters to look at, with their tickets
    uint64_t issued = 0;                                 // tickets given out
    uint64_t completed = 0;                              // every ticket up to this one was acted on
    bool busy = false;
    bool stop = false;
    std::map<char16_t, std::shared_ptr<DriveFs>> mounts;
    std::thread thread;
    std::thread::id threadId;
    int linkObserver = 0;
    int requestObserver = 0;
    bool running = false;
};

namespace {

std::u16string LinkOf(char16_t letter) { return std::u16string(u"\\??\\") + letter + u":"; }

// "X:" for a drive-letter link name, else 0.
char16_t LetterOfLink(const std::u16string& name) {
    if (name.size() != 2 || name[1] != u':') return 0;
    char16_t letter = name[0];
    if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - u'a' + u'A');
    return letter >= u'A' && letter <= u'Z' ? letter : 0;
}

constexpr auto kLinkChangeWait = std::chrono::seconds(5);

uint64_t Queue(DriveMounts::State& state, char16_t letter) {
    std::lock_guard lock(state.mutex);
    uint64_t ticket = ++state.issued;
    state.pending.emplace_back(letter, ticket);
    state.wake.notify_one();
    return ticket;
}

// A link change: the letter is looked at again by the manager's thread. The
// thread that changed the link waits (bounded) until that is done, so that a
// program which has just made a drive letter finds it mounted; a request
// served by a mount, or the manager's own thread, never waits.
void OnLinkChanged(DriveMounts::State& state, char16_t letter) {
    uint64_t ticket = Queue(state, letter);
    if (DriveFs::Serving() || std::this_thread::get_id() == state.threadId) return;
    std::unique_lock lock(state.mutex);
    state.settled.wait_for(lock, kLinkChangeWait, [&] { return state.stop || state.completed >= ticket; });
}

// The request observer: a change made behind a mount's kernel is
// invalidated before the request's caller goes on, so the next look through
// the mount sees it. Changes the mount made itself are known to its kernel;
// a mount's thread serving a request never waits for another mount.
void OnRequestCompleted(DriveMounts::State& state, PIRP irp) {
    ChangeScope scope = ScopeOfCompletedRequest(irp);
    if (scope == ChangeScope::None) return;
    PDEVICE_OBJECT device = irp->Stack.DeviceObject;
    if (!device) return;
    std::vector<std::shared_ptr<DriveFs>> affected;
    {
        std::lock_guard lock(state.mutex);
        for (const auto& [letter, fs] : state.mounts) {
            bool hit = scope == ChangeScope::Driver ? fs->Driver() == device->DriverObject : fs->Volume() == device;
            if (hit) affected.push_back(fs);
        }
    }
    DriveFs* serving = DriveFs::Serving();
    for (const auto& fs : affected) {
        if (fs.get() == serving) continue;
        fs->Invalidate(serving == nullptr);
    }
}

int MakeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0700) == 0) return 0;
    if (errno != EEXIST) return errno;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// mkdir -p with mode 0700 for every level made.
int MakeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (int err = MakeDirectory(path.substr(0, slash))) return err;
    }
    return MakeDirectory(path);
}

DriveMounts* g_instance = nullptr;
std::mutex g_instanceMutex;

}  // namespace

std::string DefaultMountRoot(const std::string& home) { return home + "/mnt"; }

DriveMounts::DriveMounts(MountOptions options) : options_(std::move(options)), state_(std::make_shared<State>()) {
    while (options_.MountRoot.size() > 1 && options_.MountRoot.back() == '/') options_.MountRoot.pop_back();
}

DriveMounts::~DriveMounts() { Stop(); }

int DriveMounts::Start() {
    SetLogSink(options_.Log);
    if (int err = MakeDirectories(options_.MountRoot)) {
        Log("cannot make the mount root %s: %s", options_.MountRoot.c_str(), std::strerror(err));
        SetLogSink(nullptr);
        return err;
    }
    // Nobody but this user passes through the root to the mounts.
    chmod(options_.MountRoot.c_str(), 0700);
    for (const std::string& stale : FuseMountsBelow(options_.MountRoot)) {
        int err = DetachMount(stale);
        if (err) {
            Log("%s: a mount left by an earlier run could not be removed (%s)", stale.c_str(), std::strerror(err));
        } else {
            Log("%s: removed a mount left by an earlier run", stale.c_str());
        }
    }
    std::weak_ptr<State> weak = state_;
    state_->linkObserver = ob::AddLinkObserver(
        [weak](const std::u16string& name, const std::optional<std::u16string>&) {
            char16_t letter = LetterOfLink(name);
            if (auto state = weak.lock(); state && letter) OnLinkChanged(*state, letter);
        });
    state_->requestObserver = io::AddRequestObserver([weak](PIRP irp) {
        if (auto state = weak.lock()) OnRequestCompleted(*state, irp);
    });
    {
        std::lock_guard lock(state_->mutex);
        state_->stop = false;
        state_->running = true;
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->thread = std::thread(&DriveMounts::Run, this);
        state_->threadId = state_->thread.get_id();
    }
    for (const std::u16string& name : ob::ListLinks(u"\\??")) {
        if (char16_t letter = LetterOfLink(name)) Queue(*state_, letter);
    }
    return 0;
}

void DriveMounts::Stop() {
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->running) return;
        state_->running = false;
        state_->stop = true;
    }
    state_->settled.notify_all();
    ob::RemoveLinkObserver(state_->linkObserver);
    io::RemoveRequestObserver(state_->requestObserver);
    state_->wake.notify_all();
    if (state_->thread.joinable()) state_->thread.join();
    std::vector<char16_t> letters;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto& [letter, fs] : state_->mounts) letters.push_back(letter);
    }
    for (char16_t letter : letters) UnmountLetter(letter);
    SetLogSink(nullptr);
}

void DriveMounts::Run() {
    std::unique_lock lock(state_->mutex);
    for (;;) {
        state_->wake.wait(lock, [&] { return state_->stop || !state_->pending.empty(); });
        if (state_->stop) break;
        auto [letter, ticket] = state_->pending.front();
        state_->pending.pop_front();
        state_->busy = true;
        lock.unlock();
        Reconcile(letter);
        lock.lock();
        state_->busy = false;
        state_->completed = ticket;
        state_->settled.notify_all();
    }
    state_->pending.clear();
    state_->settled.notify_all();
}

// Brings one letter's mount in line with its link as it is now.
void DriveMounts::Reconcile(char16_t letter) {
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    NTSTATUS status = ob::ParsePath(LinkOf(letter), &device, &remainder);
    bool wanted = NT_SUCCESS(status) && device && !hostfs::IsHostVolume(device);
    std::shared_ptr<DriveFs> current = MountOf(letter);
    if (current && (!wanted || current->Volume() != device || current->Lost())) {
        UnmountLetter(letter);
        current.reset();
    }
    if (!wanted || current) return;
    std::string mountPoint = options_.MountRoot + "/" + static_cast<char>(letter);
    if (int err = MakeDirectory(mountPoint)) {
        Log("%c: cannot make the mount point %s: %s", static_cast<char>(letter), mountPoint.c_str(),
            std::strerror(err));
        return;
    }
    auto fs = std::make_shared<DriveFs>(letter, device, mountPoint, options_.Settings);
    // A mount taken away from outside while its letter still leads to the
    // drive is made again.
    std::weak_ptr<State> weak = state_;
    fs->SetLostHandler([weak, letter] {
        if (auto state = weak.lock()) Queue(*state, letter);
    });
    if (int err = fs->Mount()) {
        Log("%c: cannot mount at %s: %s", static_cast<char>(letter), mountPoint.c_str(), std::strerror(err));
        rmdir(mountPoint.c_str());
        return;
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->mounts[letter] = fs;
    }
    Log("%c: mounted at %s", static_cast<char>(letter), mountPoint.c_str());
}

void DriveMounts::UnmountLetter(char16_t letter) {
    std::shared_ptr<DriveFs> fs;
    {
        std::lock_guard lock(state_->mutex);
        auto it = state_->mounts.find(letter);
        if (it == state_->mounts.end()) return;
        fs = std::move(it->second);
        state_->mounts.erase(it);
    }
    fs->Unmount();
    rmdir(fs->MountPoint().c_str());
    Log("%c: unmounted from %s", static_cast<char>(letter), fs->MountPoint().c_str());
}

bool DriveMounts::Settle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->settled.wait_for(lock, timeout, [&] {
        return !state_->running || (state_->pending.empty() && !state_->busy);
    });
}

std::vector<std::pair<char16_t, std::string>> DriveMounts::Mounted() const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::pair<char16_t, std::string>> mounted;
    for (const auto& [letter, fs] : state_->mounts) mounted.emplace_back(letter, fs->MountPoint());
    return mounted;
}

std::shared_ptr<DriveFs> DriveMounts::MountOf(char16_t letter) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->mounts.find(letter);
    return it == state_->mounts.end() ? nullptr : it->second;
}

int StartDriveMounts(MountOptions options) {
    std::lock_guard lock(g_instanceMutex);
    if (g_instance) return EBUSY;
    auto* mounts = new DriveMounts(std::move(options));
    if (int err = mounts->Start()) {
        delete mounts;
        return err;
    }
    g_instance = mounts;
    return 0;
}

void StopDriveMounts() {
    std::lock_guard lock(g_instanceMutex);
    delete g_instance;
    g_instance = nullptr;
}

}  // namespace korin::fuse

// Control requests from several threads at once, each with its own handle:
// the namespace and the store must agree afterwards, and no name may be
// created twice.

#include "control_fixture.h"

#include "platform/nt/syscalls.h"

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>

namespace korin::control_test {
namespace {

class ConcurrentRequests : public ControlTest {
protected:
    void SetUp() override {
        ControlTest::SetUp();
        MakeDrive(u'K', u"Work");
        MakeFolder(u"K:\\Docs");
    }

    // Runs body(handle, thread) on threads threads, each with its own handle.
    template <typename Body>
    void OnThreads(int threads, Body body) {
        std::vector<std::thread> running;
        for (int t = 0; t < threads; ++t) {
            running.emplace_back([this, t, &body] {
                HANDLE handle = OpenControl();
                body(handle, t);
                NtClose(handle);
            });
        }
        for (std::thread& thread : running) thread.join();
    }

    NTSTATUS WordOn(HANDLE handle, ULONG code, const Bytes& input) {
        return static_cast<NTSTATUS>(Send(code, input, 4, handle).Word());
    }
};

std::u16string Numbered(std::u16string_view prefix, int i) {
    std::u16string text(prefix);
    for (char c : std::to_string(i)) text.push_back(static_cast<char16_t>(c));
    return text;
}

// The dump's drive and node lines in sorted order: a restart enumerates
// folders before mappings, so only the set of lines is compared; the letter
// links, which a restart adds, are left out.
std::vector<std::string> SortedLines(const std::string& dump) {
    std::vector<std::string> lines;
    std::istringstream in(dump);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("link ", 0) != 0) lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST_F(ConcurrentRequests, EachNameIsCreatedExactlyOnce) {
    constexpr int kThreads = 4, kNames = 60;
    std::atomic<int> wins[kNames] = {};
    OnThreads(kThreads, [&](HANDLE handle, int thread) {
        for (int i = 0; i < kNames; ++i) {
            const bool folder = (i + thread) % 2 == 0;  // folders and mappings race for the same names
            const std::u16string path = Numbered(u"K:\\Docs\\n", i);
            NTSTATUS verdict = folder ? WordOn(handle, IOCTL_CREATE_FOLDER, PathBytes(path))
                                      : WordOn(handle, IOCTL_CREATE_MAPPING, PairBytes(path, u"C:\\t.txt"));
            if (verdict == STATUS_SUCCESS) {
                ++wins[i];
            } else {
                EXPECT_EQ(verdict, STATUS_OBJECT_NAME_COLLISION) << NtStatusName(verdict);
            }
        }
    });
    for (int i = 0; i < kNames; ++i) EXPECT_EQ(wins[i].load(), 1) << i;
    const std::vector<std::string> live = SortedLines(NamespaceDump());
    RestartDriver();
    EXPECT_EQ(SortedLines(NamespaceDump()), live);
}

TEST_F(ConcurrentRequests, RacingDeletesAndRenamesLeaveStoreAndMemoryAlike) {
    constexpr int kItems = 40;
    for (int i = 0; i < kItems; ++i) {
        if (i % 2) {
            MakeFolder(Numbered(u"K:\\Docs\\m", i));
            MakeMapping(Numbered(u"K:\\Docs\\m", i) + u"\\inner", u"C:\\inner.txt");
        } else {
            MakeMapping(Numbered(u"K:\\Docs\\m", i), u"C:\\m.txt");
        }
    }
    OnThreads(2, [&](HANDLE handle, int thread) {
        for (int i = 0; i < kItems; ++i) {
            const std::u16string path = Numbered(u"K:\\Docs\\m", i);
            const bool folder = i % 2;
            if (thread == 0) {
                Send(folder ? IOCTL_DELETE_FOLDER : IOCTL_DELETE_MAPPING, PathBytes(path), 4, handle);
            } else {
                WordOn(handle, folder ? IOCTL_RENAME_FOLDER : IOCTL_RENAME_MAPPING,
                       PairBytes(path, Numbered(u"r", i)));
            }
        }
    });
    const std::vector<std::string> live = SortedLines(NamespaceDump());
    RestartDriver();
    EXPECT_EQ(SortedLines(NamespaceDump()), live);
}

}  // namespace
}  // namespace korin::control_test

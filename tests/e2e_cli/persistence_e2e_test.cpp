// What the korin commands acknowledged is in the store: a host stopped and
// started again, or killed in the middle of a run of mappings, comes back
// with the same namespace.

#include "cli_fixture.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <chrono>
#include <set>
#include <thread>

namespace korin::cli_test {
namespace {

using Persistence = CliTest;

std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

const char kDriveKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive";

TEST_F(Persistence, RestartedHostFindsTheSameNamespace) {
    SetUpDrive();
    Ok({"drive", "create", "L", "Second"});
    Ok({"mkdir", "K:\\Docs"});
    Ok({"mkdir", "K:\\Docs\\Sub"});
    Ok({"map", "T:\\a.txt", "K:\\Docs\\a.txt"});
    Ok({"map", "T:\\dir", "K:\\Docs\\Sub\\dir"});
    Ok({"map", "T:\\b.txt", "L:\\b.txt"});
    Ok({"mv", "K:\\Docs\\Sub", "Renamed"});
    const std::string store = Ok({"reg", "query", kDriveKey});
    const std::string listing = Ok({"ls", "K:\\Docs"});

    StopHost();
    ASSERT_TRUE(StartHost());
    // The driver service starts with the host; it links every stored drive itself.
    EXPECT_EQ(Ok({"reg", "query", kDriveKey}), store);
    EXPECT_EQ(Ok({"drives"}), "K:\\  Work\nL:\\  Second\n");
    EXPECT_EQ(Ok({"type", "K:\\Docs\\Renamed\\dir"}), "folder mapping\n");
    EXPECT_EQ(Ok({"type", "K:\\Docs\\a.txt"}), "file mapping\n");
    EXPECT_EQ(Ok({"type", "L:\\b.txt"}), "file mapping\n");
    // After a restart folders come before mappings: the same entries, in another order.
    EXPECT_EQ(SortedLines(Ok({"ls", "K:\\Docs"})), SortedLines(listing));
    // And it goes on working.
    Ok({"map", "T:\\b.txt", "K:\\Docs\\Renamed\\b.txt"});
    Ok({"drive", "delete", "L"});
    EXPECT_EQ(Ok({"drives"}), "K:\\  Work\n");
}

TEST_F(Persistence, EveryAcknowledgedMappingSurvivesAKilledHost) {
    SetUpDrive();
    Ok({"mkdir", "K:\\Many"});
    constexpr int kMappings = 400;
    std::atomic<int> acknowledged{0};
    std::set<int> done;
    std::thread mapper([&] {
        for (int i = 0; i < kMappings; ++i) {
            Outcome run = Korin({"map", "T:\\a.txt", "K:\\Many\\m" + std::to_string(i)});
            if (run.code != 0) break;  // the host is gone
            done.insert(i);
            ++acknowledged;
        }
    });
    while (acknowledged.load() < 20) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const pid_t pid = HostPid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    mapper.join();
    ASSERT_LT(done.size(), static_cast<size_t>(kMappings)) << "the host was not killed during the run";

    ASSERT_TRUE(StartHost());
    const std::string store = Ok({"reg", "query", kDriveKey + std::string("\\0\\Many")});
    for (int i : done) {
        EXPECT_NE(store.find("\n    m" + std::to_string(i) + "    REG_SZ    T:\\a.txt\n"), std::string::npos) << i;
    }
    for (int i : {*done.begin(), *done.rbegin()}) {
        EXPECT_EQ(Ok({"type", "K:\\Many\\m" + std::to_string(i)}), "file mapping\n") << i;
    }
    // The namespace goes on from there.
    Ok({"map", "T:\\a.txt", "K:\\Many\\after"});
}

}  // namespace
}  // namespace korin::cli_test

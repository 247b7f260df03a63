// Several processes on one registry file: readers during writes, a writer
// killed mid-run, and keys deleted or recreated by another process.
#include "platform/win32/registry.h"
#include "registry_fixture.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

extern char** environ;

namespace korin::registry::testing {
namespace {

// A registry_peer child; its stdout comes back through a pipe.
class Peer {
public:
    explicit Peer(std::vector<std::string> args) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        args.insert(args.begin(), KORIN_REGISTRY_PEER);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fdopen(fds[0], "r");
    }
    ~Peer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
        if (out_) fclose(out_);
    }
    bool Started() const { return pid_ > 0 && out_ != nullptr; }
    // The next acknowledged index, or -1 at the end of the output.
    long NextAck() {
        char line[32];
        return fgets(line, sizeof line, out_) ? std::strtol(line, nullptr, 10) : -1;
    }
    void Kill() { kill(pid_, SIGKILL); }
    // The exit status, or 128 + signal.
    int Wait() {
        if (pid_ > 0) {
            int status = 0;
            if (waitpid(pid_, &status, 0) != pid_) return -1;
            pid_ = -1;
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return exit_;
    }
    // False once the child has ended (Wait then answers at once).
    bool Running() {
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_) return pid_ > 0;
        pid_ = -1;
        exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }

private:
    pid_t pid_ = -1;
    int exit_ = -1;
    FILE* out_ = nullptr;
};

using MultiProcess = RegistryTest;

TEST_F(MultiProcess, ReaderSeesConsistentStatesWhileAnotherProcessWrites) {
    constexpr int kCount = 400;
    Peer writer({"write", dbPath_, "Test\\Shared", std::to_string(kCount)});
    ASSERT_TRUE(writer.Started());
    KeyHandle key;
    while (OpenKey(key.out(), u"Shared", test_, KEY_READ) != STATUS_SUCCESS) {
        ASSERT_TRUE(writer.Running()) << "writer ended with " << writer.Wait();
        usleep(1000);
    }
    // Each pass must show a prefix v0..v{n-1}, growing, until all are there.
    size_t previous = 0;
    for (bool writing = true;; writing = writer.Running()) {
        std::vector<std::u16string> names = ValueNames(key);
        ASSERT_GE(names.size(), previous);
        for (size_t i = 0; i < names.size(); ++i) {
            std::string expected = "v" + std::to_string(i);
            ASSERT_EQ(names[i], std::u16string(expected.begin(), expected.end()));
        }
        previous = names.size();
        if (previous == kCount) break;
        ASSERT_TRUE(writing) << "writer ended with " << writer.Wait() << " after " << previous << " values";
    }
    EXPECT_EQ(writer.Wait(), 0);
}

TEST_F(MultiProcess, AnotherProcessReadsWhileThisOneWrites) {
    constexpr int kCount = 400;
    Peer reader({"read", dbPath_, "Test\\Shared", std::to_string(kCount)});
    ASSERT_TRUE(reader.Started());
    KeyHandle key;
    ASSERT_EQ(CreateKey(key.out(), u"Shared", test_), STATUS_SUCCESS);
    for (int i = 0; i < kCount; ++i) {
        std::string name = "v" + std::to_string(i);
        ASSERT_EQ(SetDword(key, std::u16string(name.begin(), name.end()), i), STATUS_SUCCESS);
    }
    EXPECT_EQ(reader.Wait(), 0);
}

TEST_F(MultiProcess, KilledWriterLosesNothingItAcknowledged) {
    Peer writer({"write", dbPath_, "Test\\Killed", "1000000"});
    ASSERT_TRUE(writer.Started());
    long last = -1;
    for (long ack; last < 500 && (ack = writer.NextAck()) >= 0;) {
        ASSERT_EQ(ack, last + 1);
        last = ack;
    }
    writer.Kill();
    EXPECT_EQ(writer.Wait(), 128 + SIGKILL);
    ASSERT_GE(last, 500);
    // Whatever the pipe still held was acknowledged too.
    for (long ack; (ack = writer.NextAck()) >= 0;) last = ack;

    Reopen();
    KeyHandle key;
    ASSERT_EQ(OpenKey(key.out(), u"\\Registry\\Machine\\Test\\Killed"), STATUS_SUCCESS);
    for (long i = 0; i <= last; ++i) {
        std::string name = "v" + std::to_string(i);
        Value value;
        ASSERT_EQ(QueryValue(key, std::u16string(name.begin(), name.end()), &value), STATUS_SUCCESS) << i;
        DWORD data;
        ASSERT_EQ(value.data.size(), sizeof data);
        std::memcpy(&data, value.data.data(), sizeof data);
        EXPECT_EQ(data, static_cast<DWORD>(i));
    }
    // The database is still sound for further writes.
    EXPECT_EQ(SetDword(key, u"after", 1), STATUS_SUCCESS);
}

TEST_F(MultiProcess, KeyDeletedByAnotherProcess) {
    KeyHandle doomed;
    ASSERT_EQ(CreateKey(doomed.out(), u"Doomed", test_), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(doomed, u"v", 1), STATUS_SUCCESS);
    EXPECT_EQ(ValueNames(doomed).size(), 1u);  // a snapshot to invalidate
    Peer deleter({"delete", dbPath_, "Test\\Doomed"});
    ASSERT_TRUE(deleter.Started());
    ASSERT_EQ(deleter.Wait(), 0);
    alignas(8) uint8_t buffer[64];
    ULONG length;
    EXPECT_EQ(ZwEnumerateValueKey(doomed, 0, KeyValueBasicInformation, buffer, sizeof buffer, &length),
              STATUS_KEY_DELETED);
    EXPECT_EQ(SetDword(doomed, u"w", 2), STATUS_KEY_DELETED);
    EXPECT_TRUE(SubkeyNames(test_).empty());
}

// Opening a key by name after it was deleted, and maybe created again,
// elsewhere: the open must find the key as it is now, never the id it had
// when this process last resolved the name.
TEST_F(MultiProcess, OpenByNameFollowsKeysDeletedOrRecreatedElsewhere) {
    struct Case {
        const char* what;
        bool absolute;      // opened by its absolute name, else relative to Test
        bool otherProcess;  // deleted (and recreated) by registry_peer, else here
        bool recreate;
    } const cases[] = {
        {"absolute, deleted by a peer", true, true, false},
        {"relative, deleted by a peer", false, true, false},
        {"absolute, recreated by a peer", true, true, true},
        {"relative, recreated by a peer", false, true, true},
        {"absolute, deleted here", true, false, false},
        {"relative, recreated here", false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::u16string absoluteName = u"\\Registry\\Machine\\Test\\Cached";
        auto open = [&](PHANDLE handle) {
            return c.absolute ? OpenKey(handle, absoluteName) : OpenKey(handle, u"Cached", test_);
        };
        {
            KeyHandle key;
            ASSERT_EQ(CreateKey(key.out(), u"Cached", test_), STATUS_SUCCESS);
            ASSERT_EQ(SetDword(key, u"old", 1), STATUS_SUCCESS);
        }
        for (int round = 0; round < 2; ++round) {  // the second open may come from a cache
            KeyHandle key;
            ASSERT_EQ(open(key.out()), STATUS_SUCCESS);
        }
        if (c.otherProcess) {
            Peer deleter({"delete", dbPath_, "Test\\Cached"});
            ASSERT_TRUE(deleter.Started());
            ASSERT_EQ(deleter.Wait(), 0);
            if (c.recreate) {
                Peer writer({"write", dbPath_, "Test\\Cached", "1"});
                ASSERT_TRUE(writer.Started());
                ASSERT_EQ(writer.Wait(), 0);
            }
        } else {
            {
                KeyHandle key;
                ASSERT_EQ(open(key.out()), STATUS_SUCCESS);
                ASSERT_EQ(ZwDeleteKey(key), STATUS_SUCCESS);
            }
            if (c.recreate) {
                KeyHandle key;
                ASSERT_EQ(CreateKey(key.out(), u"Cached", test_), STATUS_SUCCESS);
                ASSERT_EQ(SetDword(key, u"v0", 0), STATUS_SUCCESS);
            }
        }
        KeyHandle key;
        if (!c.recreate) {
            EXPECT_EQ(open(key.out()), STATUS_OBJECT_NAME_NOT_FOUND);
            continue;
        }
        ASSERT_EQ(open(key.out()), STATUS_SUCCESS);
        Value value;
        EXPECT_EQ(QueryValue(key, u"v0", &value), STATUS_SUCCESS);
        EXPECT_EQ(QueryValue(key, u"old", &value), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(SetDword(key, u"new", 2), STATUS_SUCCESS);
        EXPECT_EQ(ZwDeleteKey(key), STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace korin::registry::testing

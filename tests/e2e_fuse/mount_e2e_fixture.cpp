// The drive-mount end-to-end fixture.
#include "mount_e2e_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace korin::fuse_e2e {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ContainsAny(const std::string& line, std::initializer_list<const char*> words) {
    for (const char* word : words) {
        if (line.find(word) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

void MountE2eTest::SetUp() {
    CliTest::SetUp();
    if (HasFatalFailure()) return;
    scratch_ = home_ + "/scratch";
    std::filesystem::create_directory(scratch_);
    SetUpDrive();
    // Creating the drive returns once its letter is mounted.
    ASSERT_TRUE(IsMounted(Mount())) << MountLog();
}

void MountE2eTest::TearDown() {
    const std::string log = MountLog();
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::string lower = line;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_FALSE(ContainsAny(lower, {"error", "warning", "internal fault", "exception"})) << line;
    }
    CliTest::TearDown();
}

ShellRun MountE2eTest::Sh(const std::string& command) {
    ShellRun run;
    std::string full = "cd " + Quote(scratch_) + " && { " + command + "; } 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
    int status = pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

std::string MountE2eTest::ShOk(const std::string& command) {
    ShellRun run = Sh(command);
    EXPECT_EQ(run.code, 0) << command << "\n" << run.out;
    return run.out;
}

bool MountE2eTest::IsMounted(const std::string& path) {
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (point == path && line.find(" - fuse.korin ") != std::string::npos) return true;
    }
    return false;
}

std::string MountE2eTest::MountLog() const {
    std::string log = ReadAll(home_ + "/korin-host.log");
    std::istringstream lines(log);
    std::string mine;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("korin-fuse:") != std::string::npos) mine += line + "\n";
    }
    return mine;
}

}  // namespace korin::fuse_e2e

// The korin end-to-end fixture.

#include "cli_fixture.h"

#include "tests/support/temp_dir.h"
#include "tests/support/text_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace korin::cli_test {

namespace {

using testsupport::MakeTempDir;
using testsupport::ReadWholeFile;
using testsupport::WriteFile;

}  // namespace

std::string Findings(const std::string& text) { return testsupport::SanitizerFindings(text); }

void CliTest::SetUp() {
    home_ = MakeTempDir("korin-cli-home");
    data_ = MakeTempDir("korin-cli-data");
    ASSERT_FALSE(home_.empty());
    ASSERT_FALSE(data_.empty());
    WriteFile(data_ + "/a.txt", "hello\n");
    WriteFile(data_ + "/b.txt", "a somewhat longer file\n");
    std::filesystem::create_directory(data_ + "/dir");
    WriteFile(data_ + "/dir/inner.txt", "inner\n");
    ASSERT_TRUE(StartHost());
}

void CliTest::TearDown() {
    StopHost();
    const std::string log = ReadWholeFile(home_ + "/korin-host.log");
    EXPECT_EQ(Findings(log), "") << log;
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
    std::filesystem::remove_all(data_, ignored);
}

Outcome CliTest::Korin(const std::vector<std::string>& args) {
    static int counter = 0;
    const std::string base = home_ + "/run" + std::to_string(++counter);
    const std::string outPath = base + ".out", errPath = base + ".err";
    pid_t pid = fork();
    if (pid == 0) {
        setenv("KORIN_HOME", home_.c_str(), 1);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<std::string> argv = {KORIN_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> raw;
        for (std::string& arg : argv) raw.push_back(arg.data());
        raw.push_back(nullptr);
        execv(raw[0], raw.data());
        _exit(127);
    }
    Outcome run;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    run.out = ReadWholeFile(outPath);
    run.err = ReadWholeFile(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    std::string shown;
    for (const std::string& arg : args) shown += " " + arg;
    EXPECT_EQ(Findings(run.err), "") << "korin" << shown << "\n" << run.err;
    return run;
}

std::string CliTest::Ok(const std::vector<std::string>& args) {
    Outcome run = Korin(args);
    std::string shown;
    for (const std::string& arg : args) shown += arg + " ";
    EXPECT_EQ(run.code, 0) << "korin " << shown << "\n" << run.err;
    return run.out;
}

bool CliTest::StartHost() {
    Outcome run = Korin({"host", "start", "--drive", "T=" + data_});
    hostRunning_ = run.code == 0;
    EXPECT_EQ(run.code, 0) << run.err;
    return hostRunning_;
}

void CliTest::StopHost() {
    if (!hostRunning_) return;
    Outcome run = Korin({"host", "stop"});
    EXPECT_EQ(run.code, 0) << run.err;
    hostRunning_ = false;
}

pid_t CliTest::HostPid() { return static_cast<pid_t>(std::atol(ReadWholeFile(home_ + "/korin-host.pid").c_str())); }

void CliTest::SetUpDrive() {
    Ok({"setup"});
    Ok({"drive", "create", "K", "Work"});
}

}  // namespace korin::cli_test

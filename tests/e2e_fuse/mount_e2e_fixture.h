// A running korin-host with drive K: ("Work") set up by the korin command and
// mounted at <home>/mnt/K, for real Linux programs to use. The host's data
// directory (the korin fixture's, served as T:) holds a.txt, b.txt and
// dir/inner.txt. Tear-down fails the test when the mount layer logged a
// fault.
#pragma once

#include "cli_fixture.h"

#include <string>

namespace korin::fuse_e2e {

struct ShellRun {
    int code = -1;
    std::string out;  // standard output and standard error together
};

class MountE2eTest : public cli_test::CliTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string Mount(const std::string& relative = "") const {
        return relative.empty() ? home_ + "/mnt/K" : home_ + "/mnt/K/" + relative;
    }
    std::string Data(const std::string& relative) const { return data_ + "/" + relative; }
    // Runs command with /bin/sh in a scratch directory of the test.
    ShellRun Sh(const std::string& command);
    // Runs command and expects exit code 0; returns its output.
    std::string ShOk(const std::string& command);
    // True when path is a FUSE mount point.
    static bool IsMounted(const std::string& path);
    // The host's log lines written by the mount layer.
    std::string MountLog() const;

    std::string scratch_;
};

// Single quotes for the shell.
std::string Quote(const std::string& text);

}  // namespace korin::fuse_e2e

// End-to-end tests of the korin command: the real korin and korin-host
// binaries in a temporary home, a temporary directory served as host drive
// T:, and every run's output checked for sanitizer findings.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace korin::cli_test {

struct Outcome {
    int code = -1;  // exit code, or 128 + signal
    std::string out;
    std::string err;
};

// Lines that a sanitizer or the C++ runtime printed when it found a fault.
std::string Findings(const std::string& text);

class CliTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs korin with args for the test's home and waits for it.
    Outcome Korin(const std::vector<std::string>& args);
    // Runs korin and expects exit code 0; returns its standard output.
    std::string Ok(const std::vector<std::string>& args);
    // korin host start with T: as host drive; true when it runs.
    bool StartHost();
    void StopHost();
    // The running host's process id (from its pid file), or 0.
    pid_t HostPid();
    // "korin setup" and "korin drive create K Work".
    void SetUpDrive();

    std::string home_;
    std::string data_;  // served as T:
    bool hostRunning_ = false;
};

}  // namespace korin::cli_test

// Connecting a program to the running machine (korin-host), and starting and
// stopping korin-host itself.
//
// A host's home holds its registry database, its syscall socket and its lock
// file (which also records its process id):
//   <home>/registry.db   <home>/korin-host.sock   <home>/korin-host.pid
// The home is the one given, else $KORIN_HOME, else ~/.local/share/korin.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace korin::win32 {

std::string HostHome(const std::string& home = "");
std::string HostSocketPath(const std::string& home = "");
std::string HostLockPath(const std::string& home = "");
std::string HostLogPath(const std::string& home = "");  // where a background host logs

// Connects this program to the host of home: every system call and service
// call of the Win32 layer goes to it from now on, and the registry functions
// use its registry database. One connection is one process of the machine:
// handles opened through it close when the program ends or disconnects.
// False (with the reason on stderr) when no host answers; the program then
// keeps what it used before.
//
// A child made with fork() does not share its parent's connection: its calls
// fail with STATUS_IO_DEVICE_ERROR until it connects itself. Calls also fail
// that way once the host went away; connecting again starts a new process
// whose handles are new.
bool ConnectToHost(const std::string& home = "");
// Closes the connection and goes back to the in-process machine.
void DisconnectFromHost();
bool IsConnectedToHost();

// Starting and stopping a host. message receives what went wrong, or a short
// note ("already running").
struct HostState {
    bool running = false;    // a host holds the home's lock
    bool answering = false;  // its socket answers
    pid_t pid = 0;
};
HostState QueryHost(const std::string& home = "");
// Waits until the socket of home answers, up to timeoutMs.
bool WaitForHost(const std::string& home, int timeoutMs);
// Starts korin-host (the one beside this program, else from PATH) in the
// background for home with the extra arguments, and waits until its socket
// answers. True when a host is running afterwards, also one that already was.
bool StartHost(const std::string& home, const std::vector<std::string>& arguments, std::string* message,
               int timeoutMs = 15000);
// Asks the host of home to stop (SIGTERM) and waits until it has gone. True
// when no host runs afterwards.
bool StopHost(const std::string& home, std::string* message, int timeoutMs = 15000);

}  // namespace korin::win32

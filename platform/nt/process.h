// Processes: who owns handles. One process per client connection of
// korin-host, one for the machine itself; in-process callers bind a process
// to their thread with ProcessScope.
#pragma once

#include "handles.h"

#include <string>

namespace korin::ps {

class Process {
public:
    explicit Process(std::string name);
    ~Process();  // closes every handle still open, as process exit does
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    const std::string& Name() const { return name_; }
    ob::HandleTable& Handles() { return handles_; }

private:
    std::string name_;
    ob::HandleTable handles_;
};

// The process of the calling thread: the bound one, else the system process.
Process& CurrentProcess();
Process& SystemProcess();

class ProcessScope {
public:
    explicit ProcessScope(Process& process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    Process* previous_;
};

}  // namespace korin::ps

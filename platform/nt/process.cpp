// Processes: the owners of handles. The system process is never destroyed,
// so handles it holds stay valid for threads that outlive static destructors.
#include "process.h"

namespace korin::ps {
namespace {
thread_local Process* t_boundProcess = nullptr;
}

Process::Process(std::string name) : name_(std::move(name)) {}

// As at process exit: every handle is closed, newest first, each sending its
// file's cleanup and close as its last handle and reference go.
Process::~Process() { handles_.CloseAll(); }

Process& SystemProcess() {
    static auto* system = new Process("System");
    return *system;
}

Process& CurrentProcess() { return t_boundProcess ? *t_boundProcess : SystemProcess(); }

ProcessScope::ProcessScope(Process& process) : previous_(t_boundProcess) { t_boundProcess = &process; }

ProcessScope::~ProcessScope() { t_boundProcess = previous_; }

}  // namespace korin::ps

// Booting and stopping the machine: registry, host file system, host
// configuration, services.
#pragma once

#include "options.h"

#include "platform/nt/io.h"

#include <string>

namespace korin::host {

class Machine {
public:
    explicit Machine(Options options) : options_(std::move(options)) {}
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // In order: opens <home>/registry.db, starts the host file system with the
    // configured letters and UNC root, writes that configuration into the
    // registry for every process to read, creates the mount root, then starts
    // the automatic driver services as the service control manager does at
    // boot (a service that fails is logged; the others still start). False
    // with a message when the machine cannot run at all.
    bool Boot(std::string* error);
    // Stops the services that can be stopped, the host file system, and
    // closes the registry database.
    void Shutdown();

    const Options& options() const { return options_; }

private:
    void LogLinks(const char* when);

    Options options_;
    PDRIVER_OBJECT hostfs_ = nullptr;
    bool booted_ = false;
};

}  // namespace korin::host

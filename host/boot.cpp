// The machine's boot and shutdown, with one log line for each thing done.
#include "boot.h"

#include "fuse/fuse_mounts.h"
#include "log.h"

#include "platform/hostfs/hostfs.h"
#include "platform/nt/ob.h"
#include "platform/registry/process_database.h"
#include "platform/win32/paths.h"
#include "platform/win32/services.h"
#include "platform/win32/services_control.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace korin::host {

bool Machine::Boot(std::string* error) {
    std::string database = options_.home + "/registry.db";
    if (!NT_SUCCESS(registry::OpenDatabase(database))) {
        *error = "cannot open the registry database " + database;
        return false;
    }
    Log("registry %s", database.c_str());

    hostfs::Configuration configuration;
    configuration.Drives.clear();
    for (const auto& [letter, directory] : options_.drives) configuration.Drives.push_back({letter, directory});
    configuration.UncRoot = options_.uncRoot;
    NTSTATUS status = hostfs::Configure(configuration);
    if (!NT_SUCCESS(status)) {
        *error = std::string("host drive configuration refused: ") + NtStatusName(status);
        return false;
    }
    status = io::StartBuiltinDriver(HostFsDriverEntry, hostfs::kServiceName, SERVICE_FILE_SYSTEM_DRIVER, &hostfs_);
    if (!NT_SUCCESS(status)) {
        *error = std::string("the host file system did not start: ") + NtStatusName(status);
        return false;
    }
    Log("driver %s started (built in)", Narrow(hostfs::kServiceName).c_str());
    for (const auto& [letter, directory] : options_.drives)
        Log("host drive %c: is %s", static_cast<char>(letter), directory.c_str());
    Log("UNC root: %s", options_.uncRoot ? options_.uncRoot->c_str() : "none (UNC paths are unreachable)");

    if (mkdir(options_.mountRoot.c_str(), 0700) != 0 && errno != EEXIST)
        Log("cannot create the mount root %s: %s", options_.mountRoot.c_str(), std::strerror(errno));
    win32::HostDriveTable table;
    table.letters = options_.drives;
    table.uncRoot = options_.uncRoot;
    table.mountRoot = options_.mountRoot;
    status = win32::StoreHostDriveTable(table);
    if (!NT_SUCCESS(status)) {
        *error = std::string("cannot write the host configuration into the registry: ") + NtStatusName(status);
        return false;
    }
    Log("mount root %s", options_.mountRoot.c_str());

    for (const auto& outcome : win32::scm::StartAutomaticServices()) {
        if (outcome.error == ERROR_SUCCESS)
            Log("service %s started from %s", Narrow(outcome.name).c_str(), Narrow(outcome.imagePath).c_str());
        else
            Log("service %s did not start from %s: error %u (%s)", Narrow(outcome.name).c_str(),
                Narrow(outcome.imagePath).c_str(), outcome.error, Win32ErrorName(outcome.error));
    }
    LogLinks("after boot");
    // Virtual drives become mounts; without them the machine still serves its socket.
    if (int err = fuse::StartDriveMounts(
            {options_.mountRoot, {}, [](const std::string& line) { Log("%s", line.c_str()); }}))
        Log("drive letters of virtual drives will not be mounted: %s", std::strerror(err));
    booted_ = true;
    return true;
}

void Machine::LogLinks(const char* when) {
    auto links = ob::ListLinks(u"\\??");
    Log("%zu links in \\?? %s", links.size(), when);
    for (const auto& link : links) {
        auto targets = ob::QueryLinkTargets(u"\\??\\" + link);
        Log("  \\??\\%s -> %s", Narrow(link).c_str(), targets.empty() ? "?" : Narrow(targets.front()).c_str());
    }
}

void Machine::Shutdown() {
    fuse::StopDriveMounts();
    for (const auto& outcome : win32::scm::StopAllServices()) {
        if (outcome.skipped)
            Log("service %s left running: its driver has no unload routine", Narrow(outcome.name).c_str());
        else if (outcome.error == ERROR_SUCCESS)
            Log("service %s stopped", Narrow(outcome.name).c_str());
        else
            Log("service %s did not stop: error %u (%s)", Narrow(outcome.name).c_str(), outcome.error,
                Win32ErrorName(outcome.error));
    }
    if (hostfs_ && hostfs_->DriverUnload) {
        NTSTATUS status = io::UnloadDriver(hostfs_);
        Log("driver %s unloaded: %s", Narrow(hostfs::kServiceName).c_str(), NtStatusName(status));
    }
    hostfs_ = nullptr;
    registry::CloseDatabase();
    if (booted_) Log("registry closed");
    booted_ = false;
}

}  // namespace korin::host

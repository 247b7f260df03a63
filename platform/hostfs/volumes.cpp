// Configuration and volumes: one volume device and "\??" link per host drive
// letter, one for UNC, made at driver start and changed by Configure.
#include "hostfs_internal.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <cstdio>
#include <new>

namespace korin::hostfs {

namespace {

constexpr ULONG kExtensionSignature = 0x56667348;  // "HsfV"

// The extension of every volume device of this driver.
struct VOLUME_EXTENSION {
    ULONG Signature;
    HOST_VOLUME* Volume;
};

// Serialises Configure, driver start and unload; ConfigLock is taken inside
// it only for the moments records change, never across IoCreate* calls, so
// that link observers may open files on the volumes.
std::mutex& ConfigureMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

// Under ConfigureMutex (and ConfigLock for readers on other threads).
Configuration& StoredConfiguration() {
    static Configuration* configuration = new Configuration;
    return *configuration;
}
// Every volume record the driver made (the dropped letters' too).
std::vector<HOST_VOLUME*>& Volumes() {
    static std::vector<HOST_VOLUME*>* volumes = new std::vector<HOST_VOLUME*>;
    return *volumes;
}
std::atomic<PDRIVER_OBJECT> g_driver{nullptr};

// "/a/b/" -> "/a/b"; "/" stays. FALSE for a relative or empty path, or one
// that is not an existing directory (*status says which).
bool NormaliseDirectory(std::string* directory, NTSTATUS* status) {
    if (directory->empty() || directory->front() != '/') {
        *status = STATUS_INVALID_PARAMETER;
        return false;
    }
    while (directory->size() > 1 && directory->back() == '/') directory->pop_back();
    struct stat st;
    if (stat(directory->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *status = STATUS_OBJECT_PATH_NOT_FOUND;
        return false;
    }
    return true;
}

// Checks and normalises a configuration: letters upper-cased and unique,
// directories absolute and existing, without trailing '/'.
NTSTATUS Validate(Configuration* configuration) {
    NTSTATUS status = STATUS_SUCCESS;
    auto& drives = configuration->Drives;
    for (auto& drive : drives) {
        char16_t letter = drive.Letter;
        if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - u'a' + u'A');
        if (letter < u'A' || letter > u'Z') return STATUS_INVALID_PARAMETER;
        drive.Letter = letter;
        if (!NormaliseDirectory(&drive.Directory, &status)) return status;
    }
    for (size_t i = 0; i < drives.size(); ++i) {
        for (size_t j = i + 1; j < drives.size(); ++j) {
            if (drives[i].Letter == drives[j].Letter) return STATUS_INVALID_PARAMETER;
        }
    }
    if (configuration->UncRoot && !NormaliseDirectory(&*configuration->UncRoot, &status)) return status;
    return STATUS_SUCCESS;
}

HOST_VOLUME* FindVolume(char16_t letter, bool unc) {
    for (HOST_VOLUME* volume : Volumes()) {
        if (volume->Unc == unc && (unc || volume->Letter == letter)) return volume;
    }
    return nullptr;
}

// Makes the device and record of a volume (not yet linked).
NTSTATUS CreateVolume(PDRIVER_OBJECT driver, char16_t letter, bool unc, HOST_VOLUME** out) {
    auto volume = std::make_unique<HOST_VOLUME>();
    volume->NodeTypeCode = HOSTFS_NTC_VOLUME;
    volume->NodeByteSize = sizeof(HOST_VOLUME);
    volume->Letter = unc ? 0 : letter;
    volume->Unc = unc;
    if (unc) {
        volume->DeviceName = u"\\Device\\Mup";
        volume->LinkName = u"\\??\\UNC";
    } else {
        volume->DeviceName = std::u16string(u"\\Device\\HostVolume") + letter;
        volume->LinkName = std::u16string(u"\\??\\") + letter + u":";
    }
    UNICODE_STRING name{static_cast<USHORT>(volume->DeviceName.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(volume->DeviceName.size() * sizeof(WCHAR)), volume->DeviceName.data()};
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(VOLUME_EXTENSION), &name,
                                     unc ? FILE_DEVICE_NETWORK_FILE_SYSTEM : FILE_DEVICE_DISK_FILE_SYSTEM,
                                     unc ? FILE_REMOTE_DEVICE : 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* extension = static_cast<VOLUME_EXTENSION*>(device->DeviceExtension);
    extension->Signature = kExtensionSignature;
    extension->Volume = volume.get();
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    volume->Device = device;
    Volumes().push_back(volume.get());
    *out = volume.release();
    return STATUS_SUCCESS;
}

// Creates the volume's "\??" link; new opens are accepted from then on.
NTSTATUS Link(HOST_VOLUME* volume) {
    if (volume->Linked) return STATUS_SUCCESS;
    UNICODE_STRING link{static_cast<USHORT>(volume->LinkName.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(volume->LinkName.size() * sizeof(WCHAR)), volume->LinkName.data()};
    UNICODE_STRING target{static_cast<USHORT>(volume->DeviceName.size() * sizeof(WCHAR)),
                          static_cast<USHORT>(volume->DeviceName.size() * sizeof(WCHAR)),
                          volume->DeviceName.data()};
    {
        std::unique_lock lock(ConfigLock());
        volume->Linked = true;
    }
    NTSTATUS status = IoCreateSymbolicLink(&link, &target);
    if (!NT_SUCCESS(status)) {
        std::unique_lock lock(ConfigLock());
        volume->Linked = false;
    }
    return status;
}

// Deletes the volume's link after refusing new opens; opens made keep working.
void Unlink(HOST_VOLUME* volume) {
    if (!volume->Linked) return;
    {
        std::unique_lock lock(ConfigLock());
        volume->Linked = false;  // refuse new opens first
    }
    UNICODE_STRING link{static_cast<USHORT>(volume->LinkName.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(volume->LinkName.size() * sizeof(WCHAR)), volume->LinkName.data()};
    IoDeleteSymbolicLink(&link);
}

// Brings the running volumes in line with the stored configuration.
// ConfigureMutex held. Returns the first failure; applies what it can.
NTSTATUS Apply(PDRIVER_OBJECT driver) {
    const Configuration& configuration = StoredConfiguration();
    NTSTATUS result = STATUS_SUCCESS;
    auto note = [&](NTSTATUS status) {
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    };
    for (HOST_VOLUME* volume : Volumes()) {
        if (volume->Unc) continue;
        bool kept = std::any_of(configuration.Drives.begin(), configuration.Drives.end(),
                                [&](const HostDrive& d) { return d.Letter == volume->Letter; });
        if (!kept) Unlink(volume);
    }
    for (const HostDrive& drive : configuration.Drives) {
        HOST_VOLUME* volume = FindVolume(drive.Letter, false);
        if (!volume) {
            NTSTATUS status = CreateVolume(driver, drive.Letter, false, &volume);
            if (!NT_SUCCESS(status)) {
                note(status);
                continue;
            }
        }
        {
            std::unique_lock lock(ConfigLock());
            volume->Root = drive.Directory;
            volume->HasRoot = true;
        }
        note(Link(volume));
    }
    HOST_VOLUME* unc = FindVolume(0, true);
    if (!unc) {
        NTSTATUS status = CreateVolume(driver, 0, true, &unc);
        if (!NT_SUCCESS(status)) return status;
    }
    {
        std::unique_lock lock(ConfigLock());
        unc->HasRoot = configuration.UncRoot.has_value();
        unc->Root = configuration.UncRoot.value_or(std::string());
    }
    note(Link(unc));
    return result;
}

}  // namespace

HOST_VOLUME* VolumeOf(PDEVICE_OBJECT device) {
    if (!IsHostVolume(device)) return nullptr;
    return static_cast<VOLUME_EXTENSION*>(device->DeviceExtension)->Volume;
}

bool IsHostVolume(PDEVICE_OBJECT device) {
    PDRIVER_OBJECT driver = g_driver.load();
    if (!device || !driver || device->DriverObject != driver || !device->DeviceExtension) return false;
    return static_cast<VOLUME_EXTENSION*>(device->DeviceExtension)->Signature == kExtensionSignature;
}

int DescriptorOf(PFILE_OBJECT fileObject) {
    if (!fileObject || !IsHostVolume(fileObject->DeviceObject)) return -1;
    auto* open = static_cast<HOST_OPEN*>(fileObject->FsContext2);
    if (!open || open->NodeTypeCode != HOSTFS_NTC_OPEN) return -1;
    return open->Fd;
}

NTSTATUS Configure(const Configuration& configuration) {
    try {
        Configuration validated = configuration;
        NTSTATUS status = Validate(&validated);
        if (!NT_SUCCESS(status)) return status;
        std::lock_guard serial(ConfigureMutex());
        {
            std::unique_lock lock(ConfigLock());
            StoredConfiguration() = std::move(validated);
        }
        PDRIVER_OBJECT driver = g_driver.load();
        return driver ? Apply(driver) : STATUS_SUCCESS;
    } catch (const std::bad_alloc&) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

Configuration CurrentConfiguration() {
    std::shared_lock lock(ConfigLock());
    return StoredConfiguration();
}

NTSTATUS CreateVolumes(PDRIVER_OBJECT driver) {
    std::lock_guard serial(ConfigureMutex());
    g_driver.store(driver);
    NTSTATUS status = Apply(driver);
    if (!NT_SUCCESS(status)) {
        // A letter whose name is taken stays unlinked; the others serve.
        std::fprintf(stderr, "hostfs: not every host drive could be linked: %s\n", NtStatusName(status));
    }
    if (!FindVolume(0, true)) {
        // Not even the devices could be made: undo and fail the start.
        for (HOST_VOLUME* volume : Volumes()) {
            Unlink(volume);
            IoDeleteDevice(volume->Device);
            delete volume;
        }
        Volumes().clear();
        g_driver.store(nullptr);
        return status;
    }
    return STATUS_SUCCESS;
}

void DeleteVolumes() {
    std::lock_guard serial(ConfigureMutex());
    for (HOST_VOLUME* volume : Volumes()) {
        Unlink(volume);
        IoDeleteDevice(volume->Device);
        std::lock_guard lock(TableLock());
        volume->Deleted = true;
        if (volume->Opens == 0) delete volume;
    }
    Volumes().clear();
    g_driver.store(nullptr);
}

void ReleaseVolumeOpen(HOST_VOLUME* volume) {
    if (--volume->Opens == 0 && volume->Deleted) delete volume;
}

}  // namespace korin::hostfs

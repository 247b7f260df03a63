// Drivers and devices: loading a driver image, DriverEntry's arguments and
// failure, unloading, device creation and a deleted device's lifetime.
#include "platform/nt/iomgr.h"
#include "test_driver.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korin::test {
namespace {

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { ob::ResetNamespace(); }
    void TearDown() override { ob::ResetNamespace(); }
};

bool DeviceExists(const std::u16string& name) {
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    return ob::ParsePath(name, &device, &remainder) == STATUS_SUCCESS;
}

TEST_F(DriverTest, LoadsADriverImageAndUnloadsIt) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(io::LoadDriver(KORIN_TEST_SO_DRIVER, u"IoTestSo", 2, &driver), STATUS_SUCCESS);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(io::ToString(&driver->DriverName), u"\\FileSystem\\IoTestSo");
    EXPECT_EQ(io::FindDriver(u"iotestso"), driver);
    EXPECT_EQ(io::LoadDriver(KORIN_TEST_SO_DRIVER, u"IoTestSo", 2, nullptr), STATUS_IMAGE_ALREADY_LOADED);

    HANDLE handle;
    ASSERT_EQ(Open(u"\\Device\\IoTestSo", &handle), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);

    EXPECT_EQ(io::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(io::FindDriver(u"IoTestSo"), nullptr);
    EXPECT_FALSE(DeviceExists(u"\\Device\\IoTestSo"));

    // A service stopped can start again from the same image.
    ASSERT_EQ(io::LoadDriver(KORIN_TEST_SO_DRIVER, u"IoTestSo", 2, &driver), STATUS_SUCCESS);
    EXPECT_TRUE(DeviceExists(u"\\Device\\IoTestSo"));
    EXPECT_EQ(io::UnloadDriver(driver), STATUS_SUCCESS);
}

TEST_F(DriverTest, AFailingDriverEntryLeavesNothingLoaded) {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(io::LoadDriver(KORIN_TEST_SO_DRIVER, u"IoTestSoFail", 2, &driver), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(io::FindDriver(u"IoTestSoFail"), nullptr);
    EXPECT_FALSE(DeviceExists(u"\\Device\\IoTestSoFail"));
}

TEST_F(DriverTest, ADriverWithoutUnloadRoutineStaysLoaded) {
    // It can never go: each run loads it under a service name of its own.
    static int run = 0;
    std::u16string service = u"Run" + std::u16string(1, u'A' + run++ % 26) + u"IoTestSoNoUnload";
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(io::LoadDriver(KORIN_TEST_SO_DRIVER, service, 1, &driver), STATUS_SUCCESS);
    EXPECT_EQ(io::ToString(&driver->DriverName), u"\\Driver\\" + service);
    EXPECT_EQ(io::UnloadDriver(driver), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(io::FindDriver(service), driver);
    EXPECT_TRUE(DeviceExists(u"\\Device\\" + service));
}

TEST_F(DriverTest, ImagesThatCannotStartAreRefused) {
    EXPECT_EQ(io::LoadDriver("/nonexistent/driver.sys", u"IoTestMissing", 2, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(io::LoadDriver(KORIN_KERNEL_IMAGE, u"IoTestNoEntry", 2, nullptr), STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_EQ(io::LoadDriver(KORIN_TEST_SO_DRIVER, u"IoTestBadType", 7, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(io::FindDriver(u"IoTestNoEntry"), nullptr);
}

// What DriverEntry of a built-in driver saw.
struct EntryView {
    std::u16string registryPath;
    ULONG flagsDuringEntry = 0;
    bool defaultsEverywhere = true;
    PDEVICE_OBJECT first = nullptr;
    PDEVICE_OBJECT second = nullptr;
};
EntryView g_entry;

const GUID kClassGuid = {0x6CCD5625, 0xEEC7, 0x4001, {0x87, 0xAD, 0x2F, 0x18, 0x4A, 0xCB, 0x25, 0xA4}};

NTSTATUS RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    g_entry = EntryView{};
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    g_entry.registryPath = io::ToString(registryPath);
    for (auto slot : driver->MajorFunction) g_entry.defaultsEverywhere &= slot == driver->MajorFunction[0];
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\FileSystem\\EntryCdo");
    UNICODE_STRING sddl = RTL_CONSTANT_STRING(u"D:P(A;;GA;;;WD)");
    NTSTATUS status = IoCreateDeviceSecure(driver, 64, &name, FILE_DEVICE_DISK_FILE_SYSTEM, FILE_DEVICE_SECURE_OPEN,
                                           FALSE, &sddl, &kClassGuid, &g_entry.first);
    if (!NT_SUCCESS(status)) return status;
    g_entry.flagsDuringEntry = g_entry.first->Flags;
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_DISK, 0, TRUE, &g_entry.second);
}

TEST_F(DriverTest, DriverEntryGetsItsServiceKeyAndMakesReadyDevices) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(io::StartBuiltinDriver(RecordingEntry, u"EntryTest", 2, &driver), STATUS_SUCCESS);
    EXPECT_EQ(g_entry.registryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EntryTest");
    EXPECT_TRUE(g_entry.defaultsEverywhere);
    EXPECT_TRUE(g_entry.flagsDuringEntry & DO_DEVICE_INITIALIZING);

    PDEVICE_OBJECT first = g_entry.first;
    EXPECT_EQ(first->Name, u"\\FileSystem\\EntryCdo");
    EXPECT_EQ(first->Sddl, u"D:P(A;;GA;;;WD)");
    EXPECT_EQ(std::memcmp(&first->ClassGuid, &kClassGuid, sizeof(GUID)), 0);
    EXPECT_EQ(first->DeviceType, FILE_DEVICE_DISK_FILE_SYSTEM);
    EXPECT_EQ(first->Characteristics, FILE_DEVICE_SECURE_OPEN);
    EXPECT_EQ(first->DriverObject, driver);
    const auto* extension = static_cast<const unsigned char*>(first->DeviceExtension);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(extension[i], 0) << i;
    EXPECT_EQ(g_entry.second->DeviceExtension, nullptr);
    EXPECT_TRUE(g_entry.second->Name.empty());
    EXPECT_TRUE(g_entry.second->Flags & DO_EXCLUSIVE);

    // Newest first in the driver's chain; ready once DriverEntry returned.
    EXPECT_EQ(driver->DeviceObject, g_entry.second);
    EXPECT_EQ(g_entry.second->NextDevice, first);
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) EXPECT_FALSE(d->Flags & DO_DEVICE_INITIALIZING);

    IoDeleteDevice(g_entry.second);
    EXPECT_EQ(driver->DeviceObject, first);
    IoDeleteDevice(first);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(io::UnloadDriver(driver), STATUS_SUCCESS);
}

TEST_F(DriverTest, ADeletedDeviceServesItsOpenFilesUntilTheyClose) {
    TestDriver driver(u"DeleteTest");
    PDEVICE_OBJECT device = driver.AddDevice(u"\\Device\\Doomed");
    HANDLE handle;
    ASSERT_EQ(Open(u"\\Device\\Doomed\\f", &handle), STATUS_SUCCESS);
    IoDeleteDevice(device);
    HANDLE again;
    EXPECT_EQ(Open(u"\\Device\\Doomed", &again), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(driver.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(io::LiveFileObjects(), 0u);
}

TEST_F(DriverTest, AnUnloadedDriverKeepsServingDevicesStillInUse) {
    TestDriver driver(u"ZombieTest");
    driver.AddDevice(u"\\Device\\Zombie");
    HANDLE handle;
    ASSERT_EQ(Open(u"\\Device\\Zombie", &handle), STATUS_SUCCESS);
    EXPECT_EQ(io::UnloadDriver(driver.Driver()), STATUS_SUCCESS);
    EXPECT_EQ(io::FindDriver(u"ZombieTest"), nullptr);
    driver.ClearRequests();
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(driver.Majors(), (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

}  // namespace
}  // namespace korin::test

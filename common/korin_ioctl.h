// The control interface of KRDriver as both sides see it: request codes and
// the item types the query-item-type request answers. Shared by the driver
// and the user-mode driver client.
#pragma once

#include <cstdint>

namespace korin {

constexpr uint32_t KrDeviceType = 0xCD4B;

constexpr uint32_t KrControlCode(uint32_t function) {
    // METHOD_BUFFERED, FILE_ANY_ACCESS.
    return (KrDeviceType << 16) | (function << 2);
}

}  // namespace korin

constexpr uint32_t IOCTL_CREATE_DRIVE = korin::KrControlCode(0x900);
constexpr uint32_t IOCTL_CREATE_FOLDER = korin::KrControlCode(0x901);
constexpr uint32_t IOCTL_CREATE_MAPPING = korin::KrControlCode(0x902);
constexpr uint32_t IOCTL_DELETE_DRIVE = korin::KrControlCode(0x903);
constexpr uint32_t IOCTL_DELETE_FOLDER = korin::KrControlCode(0x904);
constexpr uint32_t IOCTL_DELETE_MAPPING = korin::KrControlCode(0x905);
constexpr uint32_t IOCTL_QUERY_ITEM_TYPE = korin::KrControlCode(0x906);
constexpr uint32_t IOCTL_RENAME_MAPPING = korin::KrControlCode(0x907);
constexpr uint32_t IOCTL_RENAME_FOLDER = korin::KrControlCode(0x908);
constexpr uint32_t IOCTL_GET_DEVICE_NAME = korin::KrControlCode(0x909);
constexpr uint32_t IOCTL_SET_DRIVE_NAME = korin::KrControlCode(0x910);
constexpr uint32_t IOCTL_CHANGE_DRIVE_LETTER = korin::KrControlCode(0x911);
// FILE_DEVICE_UNKNOWN, function 0x800, METHOD_NEITHER, FILE_WRITE_ACCESS.
constexpr uint32_t IOCTL_PREPARE_UNLOAD = (0x22u << 16) | (2u << 14) | (0x800u << 2) | 3u;

static_assert(IOCTL_CREATE_DRIVE == 0xCD4B2400);
static_assert(IOCTL_GET_DEVICE_NAME == 0xCD4B2424);
static_assert(IOCTL_SET_DRIVE_NAME == 0xCD4B2440);
static_assert(IOCTL_CHANGE_DRIVE_LETTER == 0xCD4B2444);
static_assert(IOCTL_PREPARE_UNLOAD == 0x0022A003);

// What a path names, as the query-item-type request answers.
enum ItemType : uint32_t {
    ItemNone = 0,           // the path's letter has no virtual drive
    ItemDriveRoot = 1,      // the root of a virtual drive
    ItemFolder = 2,         // a virtual folder
    ItemFileMapping = 3,    // a mapping whose target does not end with a backslash
    ItemFolderMapping = 4,  // a mapping whose target ends with a backslash
    ItemNotFound = 5,       // a virtual drive, but the path names nothing
};

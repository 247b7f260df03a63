// Tunables of one drive mount.
#pragma once

namespace korin::fuse {

struct MountSettings {
    // Entries and attributes of the drive's own folders and of the names in
    // them. Long: every change made behind the kernel's back (control
    // requests, other processes' syscalls) is invalidated explicitly.
    double VirtualTimeout = 86400.0;
    // Entries and attributes of real items below a mapped folder, and
    // attributes of mapped items: changes made on the host directly are not
    // reported, so the kernel asks again after this long.
    double HostTimeout = 1.0;
    // Threads serving requests.
    unsigned Workers = 6;
    // Longest wait of a changing request for the kernel's caches to be
    // invalidated, in milliseconds.
    unsigned InvalidationWaitMs = 5000;
    // libfuse's own request trace on stderr.
    bool Debug = false;
};

}  // namespace korin::fuse

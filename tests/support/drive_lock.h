// Holds a drive's lock for a scope, as a handler does, for the tree
// operations a test makes itself. Header only: the programs that use it link
// the driver's objects themselves.
#pragma once

#include "driver/drive.h"

namespace korin::testsupport {

class DriveLock {
public:
    explicit DriveLock(VCB* vcb) : vcb_(vcb) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&vcb_->MainResource, TRUE);
    }
    ~DriveLock() {
        ExReleaseResourceLite(&vcb_->MainResource);
        KeLeaveCriticalRegion();
    }
    DriveLock(const DriveLock&) = delete;
    DriveLock& operator=(const DriveLock&) = delete;

private:
    VCB* vcb_;
};

}  // namespace korin::testsupport

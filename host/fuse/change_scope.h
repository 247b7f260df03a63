// Which completed requests can change what a mount's kernel caches hold.
#pragma once

#include "platform/nt/io.h"

namespace korin::fuse {

enum class ChangeScope {
    None,    // nothing a mount shows can have changed
    Volume,  // the namespace of the request's own volume may have changed
    Driver,  // any volume of the request's driver may have changed (control requests)
};

// Judged from the completed IRP alone: a successful device control (the
// control interface changes any drive of its driver), a successful rename or
// link, a successful create that could create (folders appear), and a
// cleanup of a file object marked for deletion (folders go at cleanup).
ChangeScope ScopeOfCompletedRequest(PIRP irp);

}  // namespace korin::fuse

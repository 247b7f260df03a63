// Names between Linux and the syscalls: Linux names are bytes (normally
// UTF-8), syscall names are UTF-16.
//
// A Linux byte that is not part of valid UTF-8 travels as U+DC80..U+DCFF, the
// convention the host file system uses for such names, so every Linux name
// reaches the real file unchanged and comes back the same.
#pragma once

#include <string>
#include <string_view>

namespace korin::fuse {

// The UTF-16 form of a Linux name component. FALSE when the name cannot be
// said in a syscall path: it holds a backslash (the path separator there) or
// is empty.
bool WideFromLinux(std::string_view name, std::u16string* out);

// The Linux form of a UTF-16 name component. FALSE when Linux cannot show
// the name: empty, "." or "..", a '/' or NUL in it, a surrogate that stands
// for no byte, or a name whose Linux form would come back as another name.
bool LinuxFromWide(std::u16string_view name, std::string* out);

// UTF-16 to UTF-8 for logs: anything unshowable becomes U+FFFD.
std::string Printable(std::u16string_view text);

// "X:\a\b" for a syscall path "\??\X:\a\b", as a user knows it.
std::u16string_view DrivePath(std::u16string_view path);

}  // namespace korin::fuse

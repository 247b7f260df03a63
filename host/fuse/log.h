// The mount layer's log: one line per event, to the sink korin-host gives
// (its log), or to stderr. Lines never carry the words the test harness
// treats as a daemon failing; refusals a user caused are reported plainly.
#pragma once

#include <functional>
#include <string>

namespace korin::fuse {

using LogSink = std::function<void(const std::string& line)>;

// Replaces the sink (nullptr: stderr). The sink is called under a lock, one
// line at a time; it must not log through this function itself.
void SetLogSink(LogSink sink);

// printf-style; the line gets the prefix "korin-fuse: ".
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace korin::fuse

// The mount layer's log sink.
#include "log.h"

#include <cstdarg>
#include <cstdio>

namespace korin::fuse {
namespace {
LogSink& Sink() {
    static LogSink sink;
    return sink;
}
}  // namespace

void SetLogSink(LogSink sink) { Sink() = std::move(sink); }

void Log(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string line = std::string("korin-fuse: ") + text;
    if (Sink()) {
        Sink()(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

}  // namespace korin::fuse

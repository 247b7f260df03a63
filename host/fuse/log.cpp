// The mount layer's log sink.
#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace korin::fuse {
namespace {

std::mutex& SinkMutex() {
    static std::mutex mutex;
    return mutex;
}

LogSink& Sink() {
    static LogSink sink;
    return sink;
}

}  // namespace

void SetLogSink(LogSink sink) {
    std::lock_guard lock(SinkMutex());
    Sink() = std::move(sink);
}

void Log(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string line = std::string("korin-fuse: ") + text;
    std::lock_guard lock(SinkMutex());
    if (Sink()) {
        Sink()(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

}  // namespace korin::fuse

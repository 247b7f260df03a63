// korin-host's log lines.
#include "log.h"

#include "platform/win32/paths.h"

#include <cstdarg>
#include <ctime>
#include <mutex>

#include <sys/time.h>

namespace korin::host {
namespace {

std::mutex g_mutex;
std::FILE* g_stream = nullptr;  // NULL: standard error

}  // namespace

void SetLogStream(std::FILE* stream) {
    std::lock_guard lock(g_mutex);
    g_stream = stream;
}

void Log(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    timeval now;
    gettimeofday(&now, nullptr);
    tm local;
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    std::lock_guard lock(g_mutex);
    std::FILE* out = g_stream ? g_stream : stderr;
    std::fprintf(out, "%s.%03ld korin-host: %s\n", stamp, static_cast<long>(now.tv_usec / 1000), text);
    std::fflush(out);
}

std::string Narrow(const std::u16string& text) {
    if (auto utf8 = win32::Utf16ToUtf8(text)) return *utf8;
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace korin::host

// Timing helper of fuse_bench.sh: each command does one measured pass and
// prints its duration in seconds.
//
//   fuse_bench_tool read FILE        read FILE from start to end in 1 MiB reads
//   fuse_bench_tool stat DIR COUNT   lstat DIR/f0 .. DIR/f<COUNT-1>
//   fuse_bench_tool list DIR         read DIR's entries and lstat each (ls -l)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int Read(const char* path) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return std::perror(path), 1;
    std::vector<char> buffer(1 << 20);
    long long total = 0;
    for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;) total += n;
    close(fd);
    return total > 0 ? 0 : 1;
}

int Stat(const char* dir, long count) {
    struct stat st;
    for (long i = 0; i < count; ++i) {
        std::string path = std::string(dir) + "/f" + std::to_string(i);
        if (lstat(path.c_str(), &st) != 0) return std::perror(path.c_str()), 1;
    }
    return 0;
}

int List(const char* path) {
    DIR* dir = opendir(path);
    if (!dir) return std::perror(path), 1;
    struct stat st;
    long entries = 0;
    while (dirent* entry = readdir(dir)) {
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) ++entries;
    }
    closedir(dir);
    return entries > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s read FILE | stat DIR COUNT | list DIR\n", argv[0]);
        return 2;
    }
    auto start = Clock::now();
    int result;
    if (!std::strcmp(argv[1], "read")) {
        result = Read(argv[2]);
    } else if (!std::strcmp(argv[1], "stat") && argc >= 4) {
        result = Stat(argv[2], std::atol(argv[3]));
    } else if (!std::strcmp(argv[1], "list")) {
        result = List(argv[2]);
    } else {
        std::fprintf(stderr, "unknown command %s\n", argv[1]);
        return 2;
    }
    std::chrono::duration<double> elapsed = Clock::now() - start;
    if (result == 0) std::printf("%.4f\n", elapsed.count());
    return result;
}

// Failing system calls for the program's tests, loaded with LD_PRELOAD. TAVRINO_FAULTS holds
// rules "CALL:TEXT:N" separated by ';': CALL (open, flock, pwrite, fdatasync, close) on a
// file whose path contains TEXT fails with errno N; an N above 1000 instead sends the
// program signal N - 1000 and lets the call go on.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool Fails(const char* call, const std::string& path) {
    const char* rules = std::getenv("TAVRINO_FAULTS");
    for (std::string r = rules ? rules : ""; !r.empty(); r.erase(0, r.find(';') == std::string::npos ? r.size() : r.find(';') + 1)) {
        const std::string rule = r.substr(0, r.find(';'));
        const size_t a = rule.find(':'), b = rule.rfind(':');
        if (rule.compare(0, a, call) != 0 || path.find(rule.substr(a + 1, b - a - 1)) == std::string::npos) continue;
        const int n = std::atoi(rule.c_str() + b + 1);
        if (n > 1000) {
            ::kill(::getpid(), n - 1000);
            return false;
        }
        errno = n;
        return true;
    }
    return false;
}

std::string PathOf(int fd) {
    char link[64], path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, path, sizeof path);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

template <class F>
F* Next(const char* name) {
    return reinterpret_cast<F*>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {
int flock(int fd, int op) { return Fails("flock", PathOf(fd)) ? -1 : Next<int(int, int)>("flock")(fd, op); }
int fdatasync(int fd) { return Fails("fdatasync", PathOf(fd)) ? -1 : Next<int(int)>("fdatasync")(fd); }
ssize_t pwrite64(int fd, const void* b, size_t n, off_t at) {
    return Fails("pwrite", PathOf(fd)) ? -1 : Next<ssize_t(int, const void*, size_t, off_t)>("pwrite64")(fd, b, n, at);
}
ssize_t pwrite(int fd, const void* b, size_t n, off_t at) { return pwrite64(fd, b, n, at); }
int close(int fd) {
    const std::string path = PathOf(fd);
    const int r = Next<int(int)>("close")(fd);
    return Fails("close", path) ? -1 : r;
}
int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const auto mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
    return Fails("open", path ? path : "") ? -1 : Next<int(const char*, int, ...)>("open64")(path, flags, mode);
}
int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const auto mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
    return open64(path, flags, mode);
}
}

// SPDX-License-Identifier: GPL-3.0-or-later
// A failing system call for the program's tests, loaded with LD_PRELOAD. TAVRINO_FAULT holds
// "CALL:TEXT:N": CALL (open, flock, fdatasync, close) on a file whose path contains TEXT
// fails with errno N; an N above 1000 instead sends the program signal N - 1000 and lets the
// call go on.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool Fails(const char* call, const std::string& path) {
    char name[16], text[256];
    int n = 0;
    const char* rule = std::getenv("TAVRINO_FAULT");
    if (!rule || std::sscanf(rule, "%15[^:]:%255[^:]:%d", name, text, &n) != 3 || std::strcmp(name, call) != 0 ||
        path.find(text) == std::string::npos)
        return false;
    if (n > 1000) return ::kill(::getpid(), n - 1000) != 0;  // the signal, and the call goes on
    errno = n;
    return true;
}

std::string PathOf(int fd) {
    char path[4096];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
    return std::string(path, n > 0 ? static_cast<size_t>(n) : 0);
}

template <class F>
F* Next(const char* name) {
    return reinterpret_cast<F*>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {
int flock(int fd, int op) { return Fails("flock", PathOf(fd)) ? -1 : Next<int(int, int)>("flock")(fd, op); }
int fdatasync(int fd) { return Fails("fdatasync", PathOf(fd)) ? -1 : Next<int(int)>("fdatasync")(fd); }
int close(int fd) {
    const std::string path = PathOf(fd);
    const int r = Next<int(int)>("close")(fd);
    return Fails("close", path) ? -1 : r;
}
int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int mode = va_arg(ap, int);
    va_end(ap);
    return Fails("open", path) ? -1 : Next<int(const char*, int, ...)>("open")(path, flags, mode);
}
}

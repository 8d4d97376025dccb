// Preloaded into mavek-tally by the end-to-end tests, so that the input can
// change at an exact point of a run rather than at a moment guessed by a clock:
//
//   MAVEK_HOOK_AT    "rewind N": once the Nth rewind to offset 0 is done;
//                    "read N": once the Nth read that returned bytes is done
//   MAVEK_HOOK_RUN   a shell command, run once at that point
//   MAVEK_HOOK_RAISE "N": signal N, raised in the tool at that point, after
//                    the command
//   MAVEK_HOOK_IGNORE "N": signal N ignored from the start, as a shell leaves
//                    it for a job in the background (timeout(1) would not)
//   MAVEK_HOOK_POKE  "OFFSET=BYTE ...": from that point on, reads return BYTE
//                    (a number) at file OFFSET instead of what the file holds,
//                    as a file whose content changes without its metadata would
//   MAVEK_HOOK_CLOCK "N": the monotonic clock says N seconds (a decimal, to the
//                    nanosecond) for each read and write the tool has made,
//                    and does not move otherwise
//   MAVEK_HOOK_FAIL  "CALL RESULT N ...": the next N calls of CALL (read,
//                    write, poll, lseek or posix_memalign) fail with RESULT
//                    (EINTR, EAGAIN, EIO or ENOMEM), or take nothing and give
//                    no error (RESULT 0), from the point of MAVEK_HOOK_AT if
//                    one is given
//   MAVEK_HOOK_L2    "N": the system says each core's L2 cache holds N bytes
//
// The hook takes itself out of the environment, so the command's shell and
// anything it starts run without it.
// The 32-bit lseek and lseek64 are hooked apart, as the C library has both.
#undef _FILE_OFFSET_BITS

#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

struct hook {
    std::string at;  // "rewind" or "read"
    long count = 0;  // the Nth of them
    std::string command;
    std::vector<std::pair<std::uint64_t, unsigned char>> pokes;
    long rewinds = 0, reads = 0;
    bool armed = false;  // the point has come
    int input = -1;      // the descriptor last rewound to 0
    std::uint64_t position = 0;
    long long clock_step = -1;  // nanoseconds a call, or -1: the real clock
    long l2 = -1;               // bytes, or -1: the system's answer
    long calls = 0;             // reads and writes so far
    int signal = 0;             // raised at the point, if not 0
    struct fault {
        std::string call, result;
        long count;
    };
    std::vector<fault> faults;
};

hook& the_hook() {
    static hook h;
    return h;
}

[[gnu::constructor]] void load_hook() {
    hook& h = the_hook();
    if (const char* at = std::getenv("MAVEK_HOOK_AT")) std::istringstream(at) >> h.at >> h.count;
    if (const char* command = std::getenv("MAVEK_HOOK_RUN")) h.command = command;
    if (const char* pokes = std::getenv("MAVEK_HOOK_POKE")) {
        std::istringstream words(pokes);
        std::uint64_t offset;
        char equals;
        unsigned byte;
        while (words >> offset >> equals >> byte) h.pokes.emplace_back(offset, static_cast<unsigned char>(byte));
    }
    if (const char* clock = std::getenv("MAVEK_HOOK_CLOCK")) h.clock_step = std::llround(std::atof(clock) * 1e9);
    if (const char* l2 = std::getenv("MAVEK_HOOK_L2")) h.l2 = std::atol(l2);
    if (const char* signal = std::getenv("MAVEK_HOOK_RAISE")) h.signal = std::atoi(signal);
    if (const char* ignored = std::getenv("MAVEK_HOOK_IGNORE")) ::signal(std::atoi(ignored), SIG_IGN);
    if (const char* fail = std::getenv("MAVEK_HOOK_FAIL")) {
        std::istringstream words(fail);
        for (hook::fault f; words >> f.call >> f.result >> f.count;) h.faults.push_back(f);
    }
    for (const char* name : {"LD_PRELOAD", "MAVEK_HOOK_AT", "MAVEK_HOOK_RUN", "MAVEK_HOOK_POKE", "MAVEK_HOOK_CLOCK",
                             "MAVEK_HOOK_FAIL", "MAVEK_HOOK_L2", "MAVEK_HOOK_RAISE", "MAVEK_HOOK_IGNORE"})
        ::unsetenv(name);
}

void arrive(hook& h, const char* what, long nth) {
    if (h.armed || h.at != what || nth != h.count) return;
    h.armed = true;
    if (!h.command.empty() && std::system(h.command.c_str()) != 0) {
        std::fputs("io_hook: the command failed\n", stderr);
        std::_Exit(99);
    }
    if (h.signal != 0) ::raise(h.signal);
}

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

// The first fault still due for this call, if any: sets errno and gives -1,
// or gives 0 for a call that takes nothing.
bool injected(const char* call, ssize_t& result) {
    hook& h = the_hook();
    if (!h.at.empty() && !h.armed) return false;
    for (auto& [name, error, count] : h.faults) {
        if (name != call || count == 0) continue;
        --count;
        errno = error == "EINTR" ? EINTR : error == "EIO" ? EIO : error == "ENOMEM" ? ENOMEM : EAGAIN;
        result = error == "0" ? 0 : -1;
        return true;
    }
    return false;
}

ssize_t after_read(int fd, void* buffer, ssize_t got) {
    hook& h = the_hook();
    ++h.calls;
    if (fd != h.input || got <= 0) return got;
    if (h.armed) {
        for (const auto& [offset, byte] : h.pokes)
            if (offset >= h.position && offset - h.position < static_cast<std::uint64_t>(got))
                static_cast<unsigned char*>(buffer)[offset - h.position] = byte;
    }
    h.position += static_cast<std::uint64_t>(got);
    arrive(h, "read", ++h.reads);
    return got;
}

off_t after_seek(int fd, off_t offset, int whence, off_t got) {
    hook& h = the_hook();
    if (got == 0 && offset == 0 && whence == SEEK_SET) {
        h.input = fd;
        h.position = 0;
        arrive(h, "rewind", ++h.rewinds);
    }
    return got;
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t size) {
    static const auto real = next<ssize_t (*)(int, void*, size_t)>("read");
    if (ssize_t result; injected("read", result)) return result;
    return after_read(fd, buffer, real(fd, buffer, size));
}

ssize_t write(int fd, const void* buffer, size_t size) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (ssize_t result; injected("write", result)) return result;
    ++the_hook().calls;
    return real(fd, buffer, size);
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    static const auto real = next<int (*)(struct pollfd*, nfds_t, int)>("poll");
    if (ssize_t result; injected("poll", result)) return static_cast<int>(result);
    return real(fds, count, timeout);
}

int clock_gettime(clockid_t clock, struct timespec* now) {
    static const auto real = next<int (*)(clockid_t, struct timespec*)>("clock_gettime");
    const hook& h = the_hook();
    if (clock != CLOCK_MONOTONIC || h.clock_step < 0) return real(clock, now);
    const long long at = h.clock_step * h.calls;
    *now = {.tv_sec = static_cast<time_t>(at / 1'000'000'000), .tv_nsec = static_cast<long>(at % 1'000'000'000)};
    return 0;
}

long sysconf(int name) {
    static const auto real = next<long (*)(int)>("sysconf");
    return name == _SC_LEVEL2_CACHE_SIZE && the_hook().l2 >= 0 ? the_hook().l2 : real(name);
}

off_t lseek(int fd, off_t offset, int whence) {
    static const auto real = next<off_t (*)(int, off_t, int)>("lseek");
    if (ssize_t result; injected("lseek", result)) return result;
    return after_seek(fd, offset, whence, real(fd, offset, whence));
}

off64_t lseek64(int fd, off64_t offset, int whence) {
    static const auto real = next<off64_t (*)(int, off64_t, int)>("lseek64");
    if (ssize_t result; injected("lseek", result)) return result;
    return after_seek(fd, offset, whence, real(fd, offset, whence));
}

int posix_memalign(void** memory, size_t alignment, size_t size) {
    static const auto real = next<int (*)(void**, size_t, size_t)>("posix_memalign");
    if (ssize_t result; injected("posix_memalign", result)) return errno;
    return real(memory, alignment, size);
}

}  // extern "C"

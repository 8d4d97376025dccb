#include "cli/status_line.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <string_view>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tally/raw_io.h"

namespace mavek {
namespace {

constexpr std::int64_t second = 1'000'000'000;
constexpr std::int64_t quiet_start = second;  // a shorter run shows nothing
constexpr std::int64_t redraw_every = second / 4;
constexpr std::size_t columns = 79;  // at most, on any terminal, and where the width is not known
constexpr std::string_view erase_line = "\r\x1b[K";

// The terminal on which a line may be shown, for a signal that ends the run.
volatile std::sig_atomic_t shown_on = -1;

// Takes the line off the terminal with what a handler may call, and ends the
// process by the same signal, by its default action, so that the shell still
// sees it: the signal is blocked until the handler returns, and the handler
// was reset as it was entered.
extern "C" void erase_and_end(int signal) {
    if (shown_on >= 0 && ::write(shown_on, erase_line.data(), erase_line.size()) < 0) {
    }
    ::raise(signal);
}

// The signals that end a run from the terminal or the system, unless they
// are ignored, which they then stay.
void erase_on_signals() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction action {};
        if (::sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
        action.sa_handler = erase_and_end;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

// Whether two terminals are one: the same device, or, where one of them is
// /dev/tty, which names the controlling terminal by a device of its own, the
// same session's.
bool same_terminal(int one, int other) {
    struct stat one_status, other_status;
    pid_t one_session, other_session;
    if (::fstat(one, &one_status) == 0 && ::fstat(other, &other_status) == 0 &&
        one_status.st_rdev == other_status.st_rdev)
        return true;
    return ::ioctl(one, TIOCGSID, &one_session) == 0 && ::ioctl(other, TIOCGSID, &other_session) == 0 &&
           one_session == other_session;
}

std::int64_t monotonic_now() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * second + now.tv_nsec;
}

// 1023 B, 1.5 KiB, 12.0 MiB ...
int print_size(char* text, std::size_t room, std::uint64_t bytes) {
    if (bytes < 1024) return std::snprintf(text, room, "%llu B", static_cast<unsigned long long>(bytes));
    const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double size = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (size >= 1024 && unit + 1 < std::size(units)) size /= 1024, ++unit;
    return std::snprintf(text, room, "%.1f %s", size, units[unit]);
}

// Appends ", 1:02:03 left" for what is left at the rate so far.
int print_left(char* text, std::size_t room, std::uint64_t done, std::uint64_t total, std::int64_t elapsed) {
    if (done == 0 || done >= total || elapsed <= 0) return 0;
    const auto left = static_cast<std::uint64_t>(static_cast<double>(total - done) / static_cast<double>(done) *
                                                 static_cast<double>(elapsed) / second);
    if (left >= 3600)
        return std::snprintf(text, room, ", %llu:%02llu:%02llu left", static_cast<unsigned long long>(left / 3600),
                             static_cast<unsigned long long>(left / 60 % 60),
                             static_cast<unsigned long long>(left % 60));
    return std::snprintf(text, room, ", %llu:%02llu left", static_cast<unsigned long long>(left / 60),
                         static_cast<unsigned long long>(left % 60));
}

// The text of a status line, after its carriage return, in parts that are
// shown whole or not at all.
struct status_text {
    char text[256] = "\r";
    std::size_t size = 1, part_ends[4] = {}, parts = 0;

    char* at() { return text + size; }
    std::size_t room() const { return sizeof text - 1 - size; }
    void add(int written) {
        if (written > 0) size = std::min(size + static_cast<std::size_t>(written), sizeof text - 1);
    }
    void end_part() { part_ends[parts++] = size; }
};

// "reading 1 of 2: 1.0 MiB", " of 4.0 MiB (24%)", ", 12.0 MiB/s", ", 0:03 left";
// or "report: value 4096 of 5000 (81%)" and what is left.
void compose(status_text& line, const status_line& status, std::uint64_t done, std::int64_t elapsed) {
    if (status.stage == run_stage::report) {
        line.add(std::snprintf(line.at(), line.room(), "report: value %llu of %llu (%llu%%)",
                               static_cast<unsigned long long>(done), static_cast<unsigned long long>(status.total),
                               static_cast<unsigned long long>(status.total ? done * 100 / status.total : 0)));
        line.end_part();
    } else {
        line.add(std::snprintf(line.at(), line.room(),
                               "reading %d of 2: ", status.stage == run_stage::first_reading ? 1 : 2));
        line.add(print_size(line.at(), line.room(), done));
        line.end_part();
        if (status.total != 0) {
            line.add(std::snprintf(line.at(), line.room(), " of "));
            line.add(print_size(line.at(), line.room(), status.total));
            line.add(std::snprintf(line.at(), line.room(), " (%llu%%)",
                                   static_cast<unsigned long long>(std::min(done, status.total) * 100 / status.total)));
            line.end_part();
        }
        if (elapsed > 0) {
            line.add(std::snprintf(line.at(), line.room(), ", "));
            const double rate = static_cast<double>(done) * second / static_cast<double>(elapsed);
            line.add(print_size(line.at(), line.room(), static_cast<std::uint64_t>(rate)));
            line.add(std::snprintf(line.at(), line.room(), "/s"));
            line.end_part();
        }
    }
    if (status.total != 0) {
        line.add(print_left(line.at(), line.room(), done, status.total, elapsed));
        line.end_part();
    }
}

void draw(status_line& status, std::uint64_t done, std::int64_t now) {
    status_text line;
    compose(line, status, done, now - status.stage_started);
    // A line as wide as the terminal would wrap, and its erasing would leave a
    // row behind: whole parts while they fit, or the first one cut short. The
    // width is asked each time, as a window may be resized during a run.
    winsize window{};
    const std::size_t room = 1 + (::ioctl(status.terminal, TIOCGWINSZ, &window) == 0 && window.ws_col > 0
                                      ? std::min<std::size_t>(window.ws_col - 1u, columns)
                                      : columns);
    std::size_t size = std::min(line.size, room);
    for (std::size_t k = line.parts; k-- > 0;) {
        if (line.part_ends[k] <= room) {
            size = line.part_ends[k];
            break;
        }
    }
    for (const char c : erase_line.substr(1)) line.text[size++] = c;
    // A terminal that refuses the line gets no more of them.
    shown_on = status.terminal;
    if (write_all(status.terminal, {line.text, size}) != 0) {
        status.terminal = -1;
        shown_on = -1;
    }
    status.shown = status.terminal >= 0;
}

void status_stage(status_line& status, run_stage stage, std::uint64_t total) {
    if (status.terminal < 0) return;
    status.stage = stage;
    status.total = total;
    status.stage_started = monotonic_now();
    // A report that reaches the same terminal needs the line out of its way.
    if (stage == run_stage::report && status.output_on_terminal) status_erase(status);
}

void status_progress(status_line& status, std::uint64_t done) {
    if (status.terminal < 0 || (status.stage == run_stage::report && status.output_on_terminal)) return;
    const std::int64_t now = monotonic_now();
    if (now < status.next_draw) return;
    status.next_draw = now + redraw_every;
    draw(status, done, now);
}

}  // namespace

status_line make_status_line(int terminal, int output) {
    status_line status;
    if (::isatty(terminal) != 1) return status;
    status.terminal = terminal;
    status.output_on_terminal = ::isatty(output) == 1 && same_terminal(terminal, output);
    erase_on_signals();
    status.stage_started = monotonic_now();
    status.next_draw = status.stage_started + quiet_start;
    return status;
}

void status_tell(void* status, run_stage stage, std::uint64_t done, std::uint64_t total) {
    auto& line = *static_cast<status_line*>(status);
    if (done == 0)
        status_stage(line, stage, total);
    else
        status_progress(line, done);
}

void status_erase(status_line& status) {
    if (!status.shown) return;
    status.shown = false;
    if (write_all(status.terminal, erase_line) != 0) status.terminal = -1;
    shown_on = -1;
}

}  // namespace mavek

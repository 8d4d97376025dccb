// Runs a command with a pseudo-terminal of 80 columns as its standard error
// (and, with --stdout-too, its standard output), and writes all that reached
// the terminal to a file: what a user would have seen, escapes included.
//
//   pty_run CAPTURE [--stdout-too] COMMAND [ARGS...]      exits as COMMAND did
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char* argv[]) {
    const bool stdout_too = argc > 2 && std::strcmp(argv[2], "--stdout-too") == 0;
    const int command = stdout_too ? 3 : 2;
    if (argc <= command) {
        std::fputs("usage: pty_run CAPTURE [--stdout-too] COMMAND [ARGS...]\n", stderr);
        return 2;
    }
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return std::perror("pty"), 2;
    const std::string slave_name = ::ptsname(master);
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        const int slave = ::open(slave_name.c_str(), O_RDWR);
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);  // bytes as written: no newline becomes CR LF
        ::tcsetattr(slave, TCSANOW, &raw);
        const winsize size{.ws_row = 24, .ws_col = 80, .ws_xpixel = 0, .ws_ypixel = 0};
        ::ioctl(slave, TIOCSWINSZ, &size);
        ::dup2(slave, STDERR_FILENO);
        if (stdout_too) ::dup2(slave, STDOUT_FILENO);
        ::close(slave);
        ::close(master);
        ::execvp(argv[command], argv + command);
        std::_Exit(127);
    }
    std::string seen;
    char buffer[4096];
    // Read until the last holder of the terminal has closed it.
    for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) != 0;) {
        if (got < 0) {
            if (errno == EINTR) continue;
            break;  // EIO: nobody holds the terminal any more
        }
        seen.append(buffer, static_cast<std::size_t>(got));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    FILE* capture = std::fopen(argv[1], "wb");
    if (capture == nullptr || std::fwrite(seen.data(), 1, seen.size(), capture) != seen.size() || std::fclose(capture))
        return std::perror(argv[1]), 2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

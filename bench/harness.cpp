#include "bench/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace {

bool BringLoopbackUp() {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s == -1) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &request) == 0;
    close(s);
    return ok;
}

bool IsFile(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

// A file that is already unlinked, open for writing and for reading: what the child writes to the
// one descriptor is read through the other.
bool UnlinkedFile(int *writeEnd, int *readEnd) {
    std::string path = (std::filesystem::temp_directory_path() / "chanlog-err-XXXXXX").string();
    *writeEnd = mkostemp(path.data(), O_CLOEXEC);
    *readEnd = *writeEnd == -1 ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (*writeEnd != -1) {
        unlink(path.c_str());
    }
    if (*readEnd == -1) {
        CloseFd(writeEnd);
        return false;
    }
    return true;
}

// In the child: its place, its standard streams, then the program. Never returns.
[[noreturn]] void Exec(char *const *argv, const SpawnOptions &options, int out, int err,
                       pid_t parent) {
    if (options.dieWithParent && (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != parent)) {
        _exit(125);
    }
    if ((options.cpu >= 0 && !PinToCpu(options.cpu)) ||
        (!options.workDir.empty() && chdir(options.workDir.c_str()) == -1)) {
        _exit(126);
    }
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    const int stdoutFd = options.output == Output::kPipe ? out
                         : options.output == Output::kFd ? options.stdoutFd
                                                         : null;
    dup2(stdoutFd, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    // Nothing else of ours leaks into the program: descriptors it did not ask for would count
    // against its limits and hold our pipes and sockets open.
    close_range(STDERR_FILENO + 1, ~0U, 0);
    if (options.output == Output::kClosed) {
        close(STDOUT_FILENO); // last, so that nothing above takes its number
    }
    execvp(argv[0], argv);
    _exit(127);
}

} // namespace

std::int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int MsUntil(std::int64_t deadlineNs) {
    const std::int64_t left = (deadlineNs - NowNs()) / 1000000;
    return left > 0 ? static_cast<int>(left) : 0;
}

bool IsolateNetwork() {
    return unshare(CLONE_NEWNET) == 0 && BringLoopbackUp();
}

int Listen(std::uint16_t port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s == -1) {
        return -1;
    }
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == -1 ||
        listen(s, 16) == -1) {
        const int saved = errno;
        close(s);
        errno = saved;
        return -1;
    }
    return s;
}

std::uint16_t PortOf(int socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

int AcceptWithin(int listener, int timeoutMs) {
    const int s = Readable(listener, NowNs() + std::int64_t{timeoutMs} * 1000000)
                      ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)
                      : -1;
    const int on = 1;
    if (s != -1) {
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return s;
}

bool SendMessage(int socket, const std::string &data) {
    return send(socket, data.data(), data.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(data.size());
}

void ResetConnection(int socket) {
    const linger reset{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(socket);
}

void CloseFd(int *fd) {
    if (*fd != -1) {
        close(*fd);
        *fd = -1;
    }
}

Child Spawn(const std::vector<std::string> &argv, const SpawnOptions &options) {
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    Child child;
    int out[2] = {-1, -1};
    int errWrite = -1;
    if ((options.output == Output::kPipe && pipe2(out, O_CLOEXEC) == -1) ||
        !UnlinkedFile(&errWrite, &child.err)) {
        const int saved = errno;
        for (int *fd : {&out[0], &out[1], &child.err}) {
            CloseFd(fd);
        }
        errno = saved;
        return child;
    }
    const pid_t parent = getpid();
    child.startNs = NowNs();
    child.pid = fork();
    if (child.pid == 0) {
        Exec(args.data(), options, out[1], errWrite, parent);
    }
    const int saved = errno;
    CloseFd(&out[1]);
    CloseFd(&errWrite);
    child.out = out[0];
    if (child.pid == -1) {
        Stop(child, SIGKILL);
    }
    errno = saved;
    return child;
}

void Stop(Child &child, int signal) {
    if (child.pid > 0) {
        kill(child.pid, signal);
        waitpid(child.pid, nullptr, 0);
        child.pid = -1;
    }
    CloseFd(&child.out);
    CloseFd(&child.err);
}

bool Running(const Child &child) {
    if (child.pid <= 0) {
        return false;
    }
    // WNOWAIT leaves an ended child to be reaped by whoever wants its status.
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

bool PinToCpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

bool Readable(int fd, std::int64_t deadlineNs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, MsUntil(deadlineNs)) > 0;
}

std::string ReadUntilSeen(int fd, const std::string &text, int timeoutMs, std::string sofar) {
    const std::int64_t deadline = NowNs() + std::int64_t{timeoutMs} * 1000000;
    char buffer[4096];
    while (sofar.find(text) == std::string::npos && Readable(fd, deadline)) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0 && IsFile(fd) && MsUntil(deadline) > 0) {
            usleep(2000); // the file may still grow
            continue;
        }
        if (n <= 0) {
            break;
        }
        sofar.append(buffer, static_cast<std::size_t>(n));
    }
    return sofar;
}

std::string ReadToEnd(int fd, int timeoutMs) {
    const std::int64_t deadline = NowNs() + std::int64_t{timeoutMs} * 1000000;
    std::string all;
    char buffer[4096];
    while (Readable(fd, deadline)) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
}

std::string MakeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "chanlog-XXXXXX").string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

void RemoveDir(const std::string &dir) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string ReadWholeFile(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return {};
    }
    std::string content = ReadToEnd(fd, 0);
    close(fd);
    return content;
}

void WriteWholeFile(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}

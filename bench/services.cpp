#include "bench/services.h"

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
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnStopSignal(int /*signal*/) {
    stopRequested = 1;
}

// A listener that never blocks, so that DropPending can take what waits without waiting.
int ListenNonBlocking(std::uint16_t port) {
    const int s = Listen(port);
    if (s != -1 && fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK) == -1) {
        close(s);
        return -1;
    }
    return s;
}

// Accepts and closes whatever waits on the listener: a client killed before it was accepted would
// otherwise be taken for the next one.
void DropPending(int listener) {
    for (;;) {
        const int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s == -1) {
            return;
        }
        close(s);
    }
}

int MsUntil(std::int64_t deadlineNs) {
    const std::int64_t left = (deadlineNs - NowNs()) / 1000000;
    return left > 0 ? static_cast<int>(left) : 0;
}

// Accepts one connection on each listener, in whatever order they come, before the deadline.
bool AcceptBoth(Services *services, std::int64_t deadlineNs, Client *client) {
    while (client->hold == -1 || client->feed == -1) {
        pollfd waiting[2] = {{services->holdListener, POLLIN, 0},
                             {services->feedListener, POLLIN, 0}};
        const int ready = poll(waiting, 2, MsUntil(deadlineNs));
        if (ready == -1 && errno == EINTR && !StopRequested()) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        if (client->hold == -1 && (waiting[0].revents & POLLIN) != 0) {
            client->hold = accept4(services->holdListener, nullptr, nullptr, SOCK_CLOEXEC);
        }
        if (client->feed == -1 && (waiting[1].revents & POLLIN) != 0) {
            client->feed = accept4(services->feedListener, nullptr, nullptr, SOCK_CLOEXEC);
            client->feedAcceptedNs = NowNs();
        }
    }
    return true;
}

std::string MakeTempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "chanlog-bench-XXXXXX").string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// In the child: working folder, standard streams, then the program. Never returns.
[[noreturn]] void ExecClient(const std::vector<std::string> &argv, const std::string &dir,
                             int outWrite, int cpu, pid_t driver) {
    // A client holds its connections until it is killed: if the driver is stopped half way, the
    // client must go with it rather than linger.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != driver) {
        _exit(125);
    }
    if (cpu >= 0 && !PinToCpu(cpu)) {
        _exit(125);
    }
    if (chdir(dir.c_str()) == -1) {
        _exit(126);
    }
    dup2(outWrite, STDOUT_FILENO);
    const int in = open("/dev/null", O_RDONLY);
    dup2(in, STDIN_FILENO);
    const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, STDERR_FILENO);
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

} // namespace

std::int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked wait must return
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() {
    return stopRequested != 0;
}

bool PinToCpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

bool OpenServices(Services *services, std::uint16_t holdPort, std::uint16_t feedPort) {
    services->holdListener = ListenNonBlocking(holdPort);
    services->feedListener = services->holdListener == -1 ? -1 : ListenNonBlocking(feedPort);
    if (services->feedListener == -1) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%u and :%u: %s\n", holdPort, feedPort,
                     std::strerror(errno));
        CloseServices(services);
        return false;
    }
    services->holdPort = holdPort;
    services->feedPort = feedPort;
    return true;
}

void CloseServices(Services *services) {
    for (int *fd : {&services->holdListener, &services->feedListener}) {
        if (*fd != -1) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool StartClient(Services *services, const std::vector<std::string> &argv, int timeoutMs,
                 Client *client) {
    *client = Client{};
    DropPending(services->holdListener);
    DropPending(services->feedListener);
    client->dir = MakeTempDir();
    int out[2] = {-1, -1};
    if (client->dir.empty() || pipe2(out, O_CLOEXEC) == -1) {
        std::fprintf(stderr, "cannot make a folder or pipe for %s: %s\n", argv[0].c_str(),
                     std::strerror(errno));
        StopClient(client);
        return false;
    }
    const pid_t driver = getpid();
    client->spawnNs = NowNs();
    client->pid = fork();
    if (client->pid == 0) {
        ExecClient(argv, client->dir, out[1], services->clientCpu, driver);
    }
    close(out[1]);
    client->out = out[0];
    if (client->pid == -1 ||
        !AcceptBoth(services, client->spawnNs + std::int64_t{timeoutMs} * 1000000, client)) {
        std::fprintf(stderr, "%s did not connect to both services within %d ms%s\n",
                     argv[0].c_str(), timeoutMs, ClientStderr(*client).c_str());
        StopClient(client);
        return false;
    }
    return true;
}

void StopClient(Client *client) {
    if (client->pid > 0) {
        kill(client->pid, SIGKILL);
        waitpid(client->pid, nullptr, 0);
    }
    client->pid = -1;
    for (int *fd : {&client->out, &client->hold, &client->feed}) {
        if (*fd != -1) {
            close(*fd);
            *fd = -1;
        }
    }
    if (!client->dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(client->dir, ignored);
        client->dir.clear();
    }
}

bool ClientRunning(Client *client) {
    if (client->pid > 0 && waitpid(client->pid, nullptr, WNOHANG) != 0) {
        client->pid = -1;
    }
    return client->pid > 0;
}

std::string ClientStderr(const Client &client) {
    if (client.dir.empty()) {
        return {};
    }
    std::FILE *file = std::fopen((client.dir + "/stderr.txt").c_str(), "r");
    if (file == nullptr) {
        return {};
    }
    char buffer[512] = {};
    const std::size_t count = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    return count == 0 ? std::string() : "; its standard error: " + std::string(buffer, count);
}

bool SendAll(int socket, const char *data, std::size_t length) {
    return send(socket, data, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

void SetNoDelay(int socket) {
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

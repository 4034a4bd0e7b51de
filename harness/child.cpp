#include "harness/child.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "harness/io.h"

namespace {

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
    // Every signal as a shell's foreground job gets it, whatever ours inherited: started with `&`
    // or nohup, the test run ignores SIGINT or SIGHUP, and the program would keep that.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) {
            std::signal(signal, SIG_DFL);
        }
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

#include "harness/proc.h"

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness/io.h"

namespace {

std::string ProcPath(pid_t pid) {
    return "/proc/" + std::to_string(pid);
}

// The paths of the entries of /proc/PID/`what`.
std::vector<std::string> Entries(pid_t pid, const char *what) {
    std::vector<std::string> paths;
    const std::string base = ProcPath(pid) + "/" + what;
    DIR *dir = opendir(base.c_str());
    if (dir == nullptr) {
        return paths;
    }
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            paths.push_back(base + "/" + entry->d_name);
        }
    }
    closedir(dir);
    return paths;
}

std::vector<std::string> TaskDirs(pid_t pid) {
    return Entries(pid, "task");
}

// The fields of a stat file from the third, the state, on; empty when there are none. The command
// name before them may hold spaces and ')', so they are found from its last ')'.
std::string FieldsAfterName(const std::string &stat) {
    const std::size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? std::string()
                                                                  : stat.substr(close + 2);
}

// The number after "key:" in a status file, or -1.
long long StatusField(const std::string &status, const char *key) {
    const std::string label = std::string("\n") + key + ":";
    const std::size_t at = ("\n" + status).find(label);
    if (at == std::string::npos) {
        return -1;
    }
    return std::strtoll(status.c_str() + at + label.size() - 1, nullptr, 10);
}

// The sum of `count` over the folders of the process's threads, leaving out a thread whose count
// is negative (it could not be taken); -1 when no thread's could.
template <typename Count> long long SumOverThreads(pid_t pid, Count count) {
    long long total = 0;
    bool any = false;
    for (const std::string &task : TaskDirs(pid)) {
        const long long one = count(task);
        if (one >= 0) {
            total += one;
            any = true;
        }
    }
    return any ? total : -1;
}

} // namespace

long long StatCpuTicks(pid_t pid) {
    const std::string fields = FieldsAfterName(ReadWholeFile(ProcPath(pid) + "/stat"));
    const char *at = fields.c_str(); // field 3, the state
    long long utime = -1, stime = -1;
    // Fields 14 and 15 of the line are utime and stime: the 12th and 13th after the name.
    for (int field = 3; field <= 15 && *at != '\0'; ++field) {
        if (field == 14) {
            utime = std::strtoll(at, nullptr, 10);
        } else if (field == 15) {
            stime = std::strtoll(at, nullptr, 10);
        }
        const char *space = std::strchr(at, ' ');
        if (space == nullptr) {
            break;
        }
        at = space + 1;
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

double MsPerTick() {
    const long ticks = sysconf(_SC_CLK_TCK);
    return ticks > 0 ? 1000.0 / static_cast<double>(ticks) : 10.0;
}

long long OnCpuNs(pid_t pid) {
    return SumOverThreads(pid, [](const std::string &task) {
        const std::string schedstat = ReadWholeFile(task + "/schedstat");
        return schedstat.empty() ? -1 : std::strtoll(schedstat.c_str(), nullptr, 10);
    });
}

long long VoluntarySwitches(pid_t pid) {
    return SumOverThreads(pid, [](const std::string &task) {
        return StatusField(ReadWholeFile(task + "/status"), "voluntary_ctxt_switches");
    });
}

long long StatusKb(pid_t pid, const char *key) {
    return StatusField(ReadWholeFile(ProcPath(pid) + "/status"), key);
}

int ThreadCount(pid_t pid) {
    return static_cast<int>(TaskDirs(pid).size());
}

std::vector<std::string> OpenFiles(pid_t pid) {
    std::vector<std::string> targets;
    for (const std::string &fd : Entries(pid, "fd")) {
        char target[PATH_MAX];
        const ssize_t length = readlink(fd.c_str(), target, sizeof target);
        if (length > 0) {
            targets.emplace_back(target, static_cast<std::size_t>(length));
        }
    }
    return targets;
}

bool AllThreadsStopped(pid_t pid) {
    const std::vector<std::string> tasks = TaskDirs(pid);
    for (const std::string &task : tasks) {
        if (!FieldsAfterName(ReadWholeFile(task + "/stat")).starts_with('T')) {
            return false;
        }
    }
    return !tasks.empty();
}

bool AllThreadsTraced(pid_t pid) {
    const std::vector<std::string> tasks = TaskDirs(pid);
    for (const std::string &task : tasks) {
        if (StatusField(ReadWholeFile(task + "/status"), "TracerPid") <= 0) {
            return false;
        }
    }
    return !tasks.empty();
}

std::vector<TcpSocket> TcpSockets() {
    std::vector<TcpSocket> sockets;
    const std::string table = ReadWholeFile("/proc/net/tcp");
    // The first line is the header, which the format below does not match.
    for (std::size_t start = 0; start < table.size();) {
        std::size_t end = table.find('\n', start);
        end = end == std::string::npos ? table.size() : end;
        const std::string line = table.substr(start, end - start);
        start = end + 1;
        unsigned localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0, state = 0;
        unsigned long txQueue = 0, rxQueue = 0;
        if (std::sscanf(line.c_str(), " %*d: %x:%x %x:%x %x %lx:%lx", &localAddress, &localPort,
                        &remoteAddress, &remotePort, &state, &txQueue, &rxQueue) == 7) {
            sockets.push_back({static_cast<std::uint16_t>(localPort),
                               static_cast<std::uint16_t>(remotePort), static_cast<int>(state),
                               static_cast<long>(txQueue), static_cast<long>(rxQueue)});
        }
    }
    return sockets;
}

#pragma once

// What the kernel tells in /proc: about a running process, its CPU time, context switches,
// memory, open files and whether it is stopped, each reading over all of its threads (a count that
// cannot be taken is -1); and about the TCP sockets of this network namespace.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// User plus system time in clock ticks, from /proc/PID/stat (10 ms each on most machines).
long long StatCpuTicks(pid_t pid);
// Milliseconds per clock tick.
double MsPerTick();
// Nanoseconds on a CPU, summed over /proc/PID/task/*/schedstat: the same time as above, but
// exact to the nanosecond, which a figure per message needs.
long long OnCpuNs(pid_t pid);
// Voluntary context switches summed over /proc/PID/task/*/status (each thread counts its own).
long long VoluntarySwitches(pid_t pid);
// A "kB" line of /proc/PID/status, such as "VmHWM" or "VmRSS".
long long StatusKb(pid_t pid, const char *key);
// Entries in /proc/PID/task.
int ThreadCount(pid_t pid);
// The targets of the open descriptors: a path, or "socket:[inode]", "pipe:[inode]" and the like.
std::vector<std::string> OpenFiles(pid_t pid);
// True when every thread is stopped (by SIGSTOP), so that nothing it would read after this is
// taken before it continues.
bool AllThreadsStopped(pid_t pid);
// True when every thread has a tracer (strace -f -p has attached to all of them).
bool AllThreadsTraced(pid_t pid);

// A line of /proc/net/tcp: one IPv4 TCP socket of this network namespace.
struct TcpSocket {
    std::uint16_t localPort;
    std::uint16_t remotePort;
    int state;    // the kernel's TCP state, such as kTcpEstablished
    long txQueue; // sent, not yet acknowledged
    long rxQueue; // received, not yet read
};
inline constexpr int kTcpEstablished = 1;
inline constexpr int kTcpCloseWait = 8; // the peer has closed; this end has not yet
std::vector<TcpSocket> TcpSockets();

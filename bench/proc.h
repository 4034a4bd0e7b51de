#pragma once

// What the kernel tells about a running process in /proc: CPU time, context switches, memory,
// open files, whether it is stopped. Every reading covers all of the process's threads. A count
// that cannot be taken is -1.

#include <sys/types.h>

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

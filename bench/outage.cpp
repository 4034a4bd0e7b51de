// chanlog-outage: what waiting for a service that is gone costs chanlog --reconnect. For each case
// (both services absent, the feed alone absent, and for comparison both present) it starts chanlog
// in a folder of its own, lets it say that it could not connect (or connect), and then reads its
// CPU time and voluntary context switches over a minute (--seconds). It prints the figures and
// asserts nothing.
//
// Like the driver it moves into a network namespace of its own, so that the fixed ports meet no
// real service, and it only ever talks to 127.0.0.1.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "harness/child.h"
#include "harness/io.h"
#include "harness/loopback.h"
#include "harness/proc.h"

namespace {

constexpr std::uint16_t kHoldPort = 31285; // chanlog's ports are fixed
constexpr std::uint16_t kFeedPort = 31286;
constexpr int kStartTimeoutMs = 10000; // from exec until chanlog has said how it stands
constexpr int kDefaultSeconds = 60;
constexpr int kMaxSeconds = 3600;

struct Case {
    const char *name;
    bool hold; // the service listens
    bool feed;
};

struct Cost {
    double cpuMs = 0;    // on a CPU, from schedstat
    long long ticks = 0; // user plus system, from stat
    long long switches = 0;
};

// Once both channels have tried: a failed connect said on standard error for each absent service,
// and the present ones' connections taken.
bool Settled(const Child &chanlog, const Case &c, int holdListener, int feedListener, int *hold,
             int *feed) {
    const int absent = (c.hold ? 0 : 1) + (c.feed ? 0 : 1);
    std::string said;
    int failed = 0;
    const std::int64_t deadline = NowNs() + std::int64_t{kStartTimeoutMs} * 1000000;
    while (failed < absent && NowNs() < deadline) {
        said += ReadToEnd(chanlog.err, 0);
        failed = 0;
        for (std::size_t at = said.find("Could not connect"); at != std::string::npos;
             at = said.find("Could not connect", at + 1)) {
            ++failed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *hold = c.hold ? AcceptWithin(holdListener, kStartTimeoutMs) : -1;
    *feed = c.feed ? AcceptWithin(feedListener, kStartTimeoutMs) : -1;
    return failed >= absent && (!c.hold || *hold != -1) && (!c.feed || *feed != -1);
}

bool Measure(const std::string &chanlogPath, const Case &c, int seconds, Cost *cost) {
    int holdListener = c.hold ? Listen(kHoldPort) : -1;
    int feedListener = c.feed ? Listen(kFeedPort) : -1;
    const std::string dir = MakeTempDir();
    Child chanlog = Spawn({chanlogPath, "--reconnect"},
                          {.workDir = dir, .output = Output::kNull, .dieWithParent = true});
    int hold = -1;
    int feed = -1;
    bool ok = chanlog.pid > 0 && Settled(chanlog, c, holdListener, feedListener, &hold, &feed);
    if (ok) {
        const long long onCpu = OnCpuNs(chanlog.pid);
        const long long ticks = StatCpuTicks(chanlog.pid);
        const long long switches = VoluntarySwitches(chanlog.pid);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        ok = Running(chanlog);
        cost->cpuMs = static_cast<double>(OnCpuNs(chanlog.pid) - onCpu) / 1e6;
        cost->ticks = StatCpuTicks(chanlog.pid) - ticks;
        cost->switches = VoluntarySwitches(chanlog.pid) - switches;
    }
    Stop(chanlog, SIGKILL);
    for (int *fd : {&hold, &feed, &holdListener, &feedListener}) {
        CloseFd(fd);
    }
    RemoveDir(dir);
    return ok;
}

void Usage(std::FILE *stream) {
    std::fprintf(stream,
                 "Usage: chanlog-outage [--seconds N] [--chanlog PATH]\n"
                 "Measures what chanlog --reconnect costs over N seconds (default %d) while\n"
                 "both services are absent, while the feed alone is absent, and with both there.\n",
                 kDefaultSeconds);
}

} // namespace

int main(int argc, char **argv) {
    int seconds = kDefaultSeconds;
    std::string chanlog = CHANLOG_BENCH_CLIENT;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help") {
            Usage(stdout);
            return 0;
        }
        if (argument == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (argument == "--chanlog" && i + 1 < argc) {
            chanlog = argv[++i];
        } else {
            std::fprintf(stderr, "chanlog-outage: unexpected argument '%s'\n", argv[i]);
            Usage(stderr);
            return 64;
        }
    }
    if (seconds < 1 || seconds > kMaxSeconds) {
        std::fprintf(stderr, "chanlog-outage: --seconds must be 1 to %d\n", kMaxSeconds);
        return 64;
    }
    if (!IsolateNetwork()) {
        std::fprintf(stderr,
                     "chanlog-outage: no network namespace of its own (%s); using the "
                     "machine's loopback\n",
                     std::strerror(errno));
    }
    const Case cases[] = {
        {"both services absent", false, false},
        {"the feed absent", true, false},
        {"both present (idle)", true, true},
    };
    std::printf("chanlog --reconnect over %d s%s\n", seconds, seconds == 60 ? " (a minute)" : "");
    std::printf("%-24s %12s %10s %12s %14s\n", "case", "CPU ms", "ticks", "vol. switches",
                "switches/min");
    int status = 0;
    for (const Case &c : cases) {
        Cost cost;
        if (!Measure(chanlog, c, seconds, &cost)) {
            std::printf("%-24s %12s\n", c.name, "failed");
            status = 1;
            continue;
        }
        std::printf("%-24s %12.3f %10lld %12lld %14.1f\n", c.name, cost.cpuMs, cost.ticks,
                    cost.switches, static_cast<double>(cost.switches) * 60.0 / seconds);
        std::fflush(stdout);
    }
    return status;
}

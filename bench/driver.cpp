// chanlog-bench: plays both services itself and measures chanlog against the reference client
// (bench/limit) in the same run, interleaved: one message at a time, then floods of messages sent
// as fast as the feed can (bench/flood.h). Prints a table, and writes it as JSON with --json FILE.
// With --soak it sends a million messages to chanlog alone and watches its resident memory instead.
// It asserts nothing: it prints figures.
//
// It first moves itself into a network namespace of its own, so that the fixed ports chanlog
// needs meet neither a real service nor a test running at the same time; where that is not
// allowed it warns and uses the machine's loopback. It only ever talks to 127.0.0.1.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/flood.h"
#include "bench/options.h"
#include "bench/services.h"
#include "harness/io.h"
#include "harness/loopback.h"
#include "harness/proc.h"
#include "harness/reports.h"

namespace {

constexpr std::uint16_t kHoldPort = 31285; // chanlog's ports are fixed
constexpr std::uint16_t kFeedPort = 31286;
constexpr int kConnectTimeoutMs = 10000; // exec until both connections are accepted
constexpr int kMessageTimeoutMs = 2000;  // one message until its line is on standard output
// chanlog writes each line to its log before the console, but the reference writes its log line
// after the console line: its last one may still be on its way when the driver has read that.
constexpr int kLogSettleMs = 2000;
constexpr int kFloodLimitMs = 5000;                       // one flood run, from its first send
constexpr std::int64_t kRunLimitNs = 3600LL * 1000000000; // the whole run, whatever -n says
constexpr double kRatioTarget = 1.15;                     // latency p50
// CPU per message: chanlog hands each line to a console thread and a sync thread of their own,
// which the one-thread reference does not, and with --lines looks for line ends in every receive.
constexpr double kCpuRatioTarget = 1.3;
constexpr double kStartTargetMs = 20.0;
constexpr double kSwitchesPerConnectionTarget = 2.0;
constexpr int kConnections = 2;

std::int64_t g_runDeadlineNs = 0;

std::int64_t DeadlineIn(int ms) {
    return std::min(NowNs() + std::int64_t{ms} * 1000000, g_runDeadlineNs);
}

void SleepMs(int ms) {
    const std::int64_t deadline = NowNs() + std::int64_t{ms} * 1000000;
    while (NowNs() < deadline && !StopRequested()) {
        const std::int64_t left = deadline - NowNs();
        timespec pause{static_cast<time_t>(left / 1000000000),
                       static_cast<long>(left % 1000000000)};
        nanosleep(&pause, nullptr);
    }
}

// What has been read from a client's standard output and not yet matched.
struct OutputReader {
    int fd = -1;
    std::string pending;
};

// Reads until `needle` has come, then drops everything up to its end. False on timeout, or when
// the client closed its standard output.
bool AwaitText(OutputReader *reader, const std::string &needle, std::int64_t deadlineNs) {
    reader->pending =
        ReadUntilSeen(reader->fd, needle, MsUntil(deadlineNs), std::move(reader->pending));
    const std::size_t at = reader->pending.find(needle);
    if (at == std::string::npos) {
        return false;
    }
    reader->pending.erase(0, at + needle.size());
    return true;
}

// The messages of one run, sent one at a time.
struct MessageRun {
    std::vector<std::int64_t> latencyNs;
    std::vector<long long> rssKb; // VmRSS after every `sampleEvery` messages, when asked for
    double seconds = 0;
    long long cpuTicks = 0; // the client's user+system time over the run
    long long onCpuNs = 0;
};

// Sends "50;<n>\n" for n = 1..count, each time waiting until the client has printed its line
// "<ms>: 50;<n>\n". False, with a message, if a line does not come.
bool SendMessages(Client *client, long count, long sampleEvery, MessageRun *run) {
    OutputReader reader{client->process.out, {}};
    run->latencyNs.reserve(static_cast<std::size_t>(count));
    const long long ticksBefore = StatCpuTicks(client->process.pid);
    const long long nsBefore = OnCpuNs(client->process.pid);
    const std::int64_t start = NowNs();
    for (long n = 1; n <= count; ++n) {
        if (StopRequested()) {
            return false;
        }
        const std::string message = "50;" + std::to_string(n) + "\n";
        const std::string needle = ": " + message;
        const std::int64_t sentAt = NowNs();
        if (!SendMessage(client->feed, message) ||
            !AwaitText(&reader, needle, DeadlineIn(kMessageTimeoutMs))) {
            if (!StopRequested()) {
                std::fprintf(stderr, "message %ld: no line on standard output within %d ms%s\n", n,
                             kMessageTimeoutMs,
                             Running(client->process) ? "" : " (the client ended)");
            }
            return false;
        }
        run->latencyNs.push_back(NowNs() - sentAt);
        if (sampleEvery > 0 && n % sampleEvery == 0) {
            run->rssKb.push_back(StatusKb(client->process.pid, "VmRSS"));
        }
    }
    run->seconds = static_cast<double>(NowNs() - start) / 1e9;
    run->cpuTicks = StatCpuTicks(client->process.pid) - ticksBefore;
    run->onCpuNs = OnCpuNs(client->process.pid) - nsBefore;
    return true;
}

// The number n of a log line "<digits>: 50;<n>", or -1 for a line of another shape.
long LoggedNumber(std::string_view line) {
    const std::string_view text = IsStamped(line) ? StampedText(line) : std::string_view();
    if (!text.starts_with("50;")) {
        return -1;
    }
    const std::string_view digits = text.substr(3);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return -1;
    }
    return std::strtol(std::string(digits).c_str(), nullptr, 10);
}

// How many of the messages 1..count are not in the log in order. The reported text ends with the
// message's own line feed, so every line is followed by an empty one; those are skipped.
long CountLost(const std::string &log, long count) {
    long expected = 1;
    long found = 0;
    for (const std::string &line : Lines(log)) {
        const long n = line.empty() ? -1 : LoggedNumber(line);
        if (n >= expected && n <= count) {
            ++found; // a gap before it is counted by what is never found
            expected = n + 1;
        }
    }
    return count - found;
}

// The log, once it holds every message or kLogSettleMs has passed (see there).
long LostInLog(const Client &client, long count) {
    const std::int64_t deadline = DeadlineIn(kLogSettleMs);
    long lost = 0;
    do {
        lost = CountLost(ReadWholeFile(client.dir + "/log.txt"), count);
        if (lost == 0) {
            break;
        }
        SleepMs(10);
    } while (NowNs() < deadline);
    return lost;
}

double Percentile(std::vector<std::int64_t> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least `fraction` of them at or below it.
    const auto rank =
        static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return static_cast<double>(values[std::clamp<std::size_t>(rank, 1, values.size()) - 1]);
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The figures of one client in one round.
struct Figures {
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
    double perSecond = 0;
    double lost = 0;
    double cpuStatUs = 0;  // per message, from /proc/PID/stat (10 ms ticks over the whole phase)
    double cpuExactUs = 0; // per message, from schedstat
    double idleCpuMs = 0;  // from /proc/PID/stat
    double idleOnCpuMs = 0;
    double idleSwitches = 0;
    double idleSwitchesPerConnection = 0;
    double hwmKb = 0;
    double threads = 0;
    // The flood runs, with the console read and with it stalled: messages a second into the log,
    // messages whole in it, and receives that held more than one.
    double floodReadPerSecond = 0;
    double floodReadLogged = 0;
    double floodReadGlued = 0;
    double floodStalledPerSecond = 0;
    double floodStalledLogged = 0;
    double floodStalledGlued = 0;
};

void TakeLatency(const MessageRun &run, long count, Figures *figures) {
    figures->p50Us = Percentile(run.latencyNs, 0.50) / 1000;
    figures->p99Us = Percentile(run.latencyNs, 0.99) / 1000;
    figures->maxUs = Percentile(run.latencyNs, 1.0) / 1000;
    figures->perSecond = run.seconds > 0 ? static_cast<double>(count) / run.seconds : 0;
    figures->cpuStatUs =
        static_cast<double>(run.cpuTicks) * MsPerTick() * 1000 / static_cast<double>(count);
    figures->cpuExactUs = static_cast<double>(run.onCpuNs) / 1000 / static_cast<double>(count);
}

// The idle window begins this long after the last message: chanlog puts its log on the disk
// within a second of a line, which is the work of the traffic, not of idling.
constexpr int kIdleSettleMs = 1500;

// Both connections held and nothing sent for `idleMs`: what the client spends meanwhile.
void MeasureIdle(pid_t pid, int idleMs, Figures *figures) {
    SleepMs(kIdleSettleMs);
    const long long ticks = StatCpuTicks(pid);
    const long long onCpu = OnCpuNs(pid);
    const long long switches = VoluntarySwitches(pid);
    SleepMs(idleMs);
    figures->idleCpuMs = static_cast<double>(StatCpuTicks(pid) - ticks) * MsPerTick();
    figures->idleOnCpuMs = static_cast<double>(OnCpuNs(pid) - onCpu) / 1e6;
    figures->idleSwitches = static_cast<double>(VoluntarySwitches(pid) - switches);
    figures->idleSwitchesPerConnection = figures->idleSwitches / kConnections;
}

struct Contender {
    const char *name;
    std::vector<std::string> argv;
    bool lines; // it logs a message a line, never glued
};

// One client: phase 1 (latency, CPU, lost), the idle window, then its peak memory.
bool RunSession(Services *services, const Contender &contender, const Options &options,
                Figures *figures) {
    Client client;
    if (!StartClient(services, contender.argv, kConnectTimeoutMs, &client)) {
        return false;
    }
    MessageRun run;
    const bool sent = SendMessages(&client, options.messages, 0, &run);
    if (sent) {
        TakeLatency(run, options.messages, figures);
        figures->lost = static_cast<double>(LostInLog(client, options.messages));
        std::printf("  %-8s p50 %.1f us, p99 %.1f us, %.0f msg/s, cpu %.2f us/msg; lost: %.0f\n",
                    contender.name, figures->p50Us, figures->p99Us, figures->perSecond,
                    figures->cpuExactUs, figures->lost);
        std::fflush(stdout); // progress shows as it comes, also through a pipe
        MeasureIdle(client.process.pid, options.idleMs, figures);
        figures->hwmKb = static_cast<double>(StatusKb(client.process.pid, "VmHWM"));
        figures->threads = ThreadCount(client.process.pid);
    }
    StopClient(&client);
    return sent;
}

// One flood run against a fresh client, its console read or left unread.
bool RunFloodSession(Services *services, const Contender &contender, const Options &options,
                     bool readConsole, Figures *figures) {
    Client client;
    if (!StartClient(services, contender.argv, kConnectTimeoutMs, &client)) {
        return false;
    }
    FloodResult flood;
    const bool sent = RunFlood(&client, options.floodMessages, readConsole, contender.lines,
                               kFloodLimitMs, &flood);
    StopClient(&client);
    if (!sent) {
        return false;
    }
    const double perSecond =
        flood.seconds > 0 ? static_cast<double>(flood.logged) / flood.seconds : 0;
    std::printf("  %-8s flood, console %s: %ld of %ld messages in log.txt in %.2f s%s "
                "(%.0f msg/s); %ld %s, %ld with more than one message\n",
                contender.name, readConsole ? "read" : "stalled", flood.logged,
                options.floodMessages, flood.seconds, flood.finished ? "" : " (the limit)",
                perSecond, flood.reports, contender.lines ? "lines" : "receives", flood.glued);
    std::fflush(stdout);
    (readConsole ? figures->floodReadPerSecond : figures->floodStalledPerSecond) = perSecond;
    (readConsole ? figures->floodReadLogged : figures->floodStalledLogged) =
        static_cast<double>(flood.logged);
    (readConsole ? figures->floodReadGlued : figures->floodStalledGlued) =
        static_cast<double>(flood.glued);
    return true;
}

// Exec until the feed connection is accepted, in milliseconds.
bool MeasureStart(Services *services, const Contender &contender, double *ms) {
    Client client;
    if (!StartClient(services, contender.argv, kConnectTimeoutMs, &client)) {
        return false;
    }
    *ms = static_cast<double>(client.feedAcceptedNs - client.process.startNs) / 1e6;
    StopClient(&client);
    return true;
}

// One row of the table: a figure for both clients, and the target it is read against.
struct Row {
    const char *key = "";   // stable name in the JSON
    const char *label = ""; // what the table says
    int decimals = 0;
    std::vector<double> chanlog; // one value per round (or per start)
    std::vector<double> limit;
    double chanlogValue = 0; // what the table shows: the median, or the total for a count
    double limitValue = 0;
    std::string target;
    int held = -1; // -1: no target; 0: missed; 1: held
};

struct Table {
    std::vector<Row> rows;
};

double Ratio(const Row &row) {
    return row.limitValue != 0 ? row.chanlogValue / row.limitValue : -1;
}

Row MakeRow(const char *key, const char *label, int decimals, const std::vector<Figures> &chanlog,
            const std::vector<Figures> &limit, double Figures::*member) {
    Row row;
    row.key = key;
    row.label = label;
    row.decimals = decimals;
    for (const Figures &f : chanlog) {
        row.chanlog.push_back(f.*member);
    }
    for (const Figures &f : limit) {
        row.limit.push_back(f.*member);
    }
    row.chanlogValue = Median(row.chanlog);
    row.limitValue = Median(row.limit);
    return row;
}

void SetTarget(Row *row, const char *target, bool held) {
    row->target = target;
    row->held = held ? 1 : 0;
}

// The flood runs' rows, through the table's `add`. A chanlog that takes lines logs every message
// of a flood, all of `sent`.
template <typename Add> void AddFloodRows(Add add, bool lines, long sent) {
    add("flood_read_per_s", "flood, console read: msg/s logged", 0, &Figures::floodReadPerSecond);
    Row *read =
        add("flood_read_logged", "flood, console read: msgs logged", 0, &Figures::floodReadLogged);
    add("flood_read_glued", "flood, console read: glued recvs", 0, &Figures::floodReadGlued);
    add("flood_stalled_per_s", "flood, stalled: msg/s logged", 0, &Figures::floodStalledPerSecond);
    Row *stalled =
        add("flood_stalled_logged", "flood, stalled: msgs logged", 0, &Figures::floodStalledLogged);
    add("flood_stalled_glued", "flood, stalled: glued recvs", 0, &Figures::floodStalledGlued);
    if (lines) {
        for (Row *row : {read, stalled}) {
            SetTarget(row, "all sent",
                      *std::min_element(row->chanlog.begin(), row->chanlog.end()) ==
                          static_cast<double>(sent));
        }
    }
}

Table BuildTable(const std::vector<Figures> &chanlog, const std::vector<Figures> &limit,
                 const std::vector<double> &startChanlog, const std::vector<double> &startLimit,
                 const Options &options) {
    Table table;
    table.rows.reserve(32); // the pointers `add` hands out stay valid
    auto add = [&](const char *key, const char *label, int decimals, double Figures::*member) {
        table.rows.push_back(MakeRow(key, label, decimals, chanlog, limit, member));
        return &table.rows.back();
    };
    Row *p50 = add("latency_p50_us", "latency p50 (us)", 1, &Figures::p50Us);
    SetTarget(p50, "ratio <= 1.15", Ratio(*p50) <= kRatioTarget);
    add("latency_p99_us", "latency p99 (us)", 1, &Figures::p99Us);
    add("latency_max_us", "latency max (us)", 0, &Figures::maxUs);
    add("messages_per_s", "messages per second", 0, &Figures::perSecond);
    Row *lost = add("lost", "lost (all rounds)", 0, &Figures::lost);
    lost->chanlogValue = 0;
    lost->limitValue = 0;
    for (double value : lost->chanlog) {
        lost->chanlogValue += value;
    }
    for (double value : lost->limit) {
        lost->limitValue += value;
    }
    SetTarget(lost, "0", lost->chanlogValue == 0);
    Row *cpu = add("cpu_per_msg_us", "CPU per message (us, stat)", 2, &Figures::cpuStatUs);
    SetTarget(cpu, "ratio <= 1.30", Ratio(*cpu) <= kCpuRatioTarget);
    Row *exact =
        add("cpu_per_msg_exact_us", "CPU per message (us, schedstat)", 2, &Figures::cpuExactUs);
    SetTarget(exact, "ratio <= 1.30", Ratio(*exact) <= kCpuRatioTarget);
    Row *idleCpu = add("idle_cpu_ms", "idle window: CPU (ms, stat)", 0, &Figures::idleCpuMs);
    SetTarget(idleCpu, "0", idleCpu->chanlogValue == 0);
    Row *idleExact =
        add("idle_cpu_exact_ms", "idle window: CPU (ms, schedstat)", 3, &Figures::idleOnCpuMs);
    SetTarget(idleExact, "< 0.5 (0 rounded)", idleExact->chanlogValue < 0.5);
    add("idle_switches", "idle window: voluntary switches", 0, &Figures::idleSwitches);
    Row *perConnection = add("idle_switches_per_connection", "idle window: switches/connection", 1,
                             &Figures::idleSwitchesPerConnection);
    SetTarget(perConnection, "<= 2", perConnection->chanlogValue <= kSwitchesPerConnectionTarget);
    if (options.floodMessages > 0) {
        AddFloodRows(add, options.lines, options.floodMessages);
    }
    add("peak_rss_kb", "peak resident VmHWM (kB)", 0, &Figures::hwmKb);
    add("threads", "threads", 0, &Figures::threads);
    Row start;
    start.key = "startup_ms";
    start.label = "start-up to connected (ms)";
    start.decimals = 2;
    start.chanlog = startChanlog;
    start.limit = startLimit;
    start.chanlogValue = Median(startChanlog);
    start.limitValue = Median(startLimit);
    SetTarget(&start, "< 20 ms", start.chanlogValue < kStartTargetMs);
    table.rows.push_back(start);
    return table;
}

void PrintTable(const Table &table) {
    std::printf("\n%-34s %12s %12s %8s  %-18s %s\n", "figure (median of rounds)", "chanlog",
                "reference", "ratio", "target (chanlog)", "");
    for (const Row &row : table.rows) {
        char ratio[32] = "-";
        if (Ratio(row) >= 0) {
            std::snprintf(ratio, sizeof ratio, "%.2f", Ratio(row));
        }
        std::printf("%-34s %12.*f %12.*f %8s  %-18s %s\n", row.label, row.decimals,
                    row.chanlogValue, row.decimals, row.limitValue, ratio, row.target.c_str(),
                    row.held < 0 ? "" : (row.held == 1 ? "held" : "MISSED"));
    }
}

std::string LoadAverage() {
    std::FILE *file = std::fopen("/proc/loadavg", "r");
    char text[128] = {};
    if (file != nullptr) {
        if (std::fgets(text, sizeof text, file) == nullptr) {
            text[0] = '\0';
        }
        std::fclose(file);
    }
    std::string load(text);
    // The first three fields: the 1, 5 and 15 minute averages.
    std::size_t end = 0;
    for (int field = 0; field < 3 && end != std::string::npos; ++field) {
        end = load.find(' ', end + (field > 0 ? 1 : 0));
    }
    return load.substr(0, end);
}

std::string CpuModel() {
    std::FILE *file = std::fopen("/proc/cpuinfo", "r");
    char line[256];
    std::string model = "unknown";
    while (file != nullptr && std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, "model name", 10) == 0 && std::strchr(line, ':') != nullptr) {
            model = std::strchr(line, ':') + 2;
            model.erase(model.find_last_not_of('\n') + 1);
            break;
        }
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    return model;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// JSON strings here are our own labels, a CPU model and a user's label: escape what JSON needs.
std::string Quoted(const std::string &text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        if (static_cast<unsigned char>(c) >= 0x20) {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string NumberList(const std::vector<double> &values) {
    std::string list = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        list += (i > 0 ? ", " : "") + Number(values[i]);
    }
    return list + "]";
}

// What every JSON file starts with: what was run, where and when.
void WriteJsonHeader(std::FILE *file, const Options &options, bool isolated,
                     const std::string &loadBefore) {
    std::fprintf(file, "{\n  \"label\": %s,\n  \"date\": %s,\n  \"mode\": %s,\n  \"lines\": %s,\n",
                 Quoted(options.label).c_str(), Quoted(UtcNow()).c_str(),
                 options.soak ? "\"soak\"" : "\"benchmark\"", options.lines ? "true" : "false");
    std::fprintf(file,
                 "  \"messages\": %ld,\n  \"rounds\": %d,\n  \"starts\": %d,\n  \"idle_ms\": %d,\n"
                 "  \"flood_messages\": %ld,\n",
                 options.messages, options.rounds, options.starts, options.idleMs,
                 options.floodMessages);
    std::fprintf(file,
                 "  \"cpus\": %s,\n  \"private_network\": %s,\n  \"nproc\": %ld,\n  \"cpu\": %s,\n"
                 "  \"load_before\": %s,\n  \"load_after\": %s,\n",
                 Quoted(options.cpus).c_str(), isolated ? "true" : "false",
                 sysconf(_SC_NPROCESSORS_ONLN), Quoted(CpuModel()).c_str(),
                 Quoted(loadBefore).c_str(), Quoted(LoadAverage()).c_str());
}

bool WriteTableJson(const Options &options, bool isolated, const std::string &loadBefore,
                    const Table &table) {
    std::FILE *file = std::fopen(options.json.c_str(), "w");
    if (file == nullptr) {
        std::fprintf(stderr, "cannot write %s: %s\n", options.json.c_str(), std::strerror(errno));
        return false;
    }
    WriteJsonHeader(file, options, isolated, loadBefore);
    std::fprintf(file, "  \"figures\": {\n");
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const Row &row = table.rows[i];
        std::fprintf(
            file,
            "    %s: {\"chanlog\": %s, \"reference\": %s, \"ratio\": %s, "
            "\"target\": %s, \"held\": %s,\n      \"chanlog_all\": %s, "
            "\"reference_all\": %s}%s\n",
            Quoted(row.key).c_str(), Number(row.chanlogValue).c_str(),
            Number(row.limitValue).c_str(), Ratio(row) >= 0 ? Number(Ratio(row)).c_str() : "null",
            Quoted(row.target).c_str(), row.held < 0 ? "null" : (row.held == 1 ? "true" : "false"),
            NumberList(row.chanlog).c_str(), NumberList(row.limit).c_str(),
            i + 1 < table.rows.size() ? "," : "");
    }
    std::fprintf(file, "  }\n}\n");
    return std::fclose(file) == 0;
}

std::vector<std::string> ChanlogArgv(const Options &options) {
    if (options.lines) {
        return {options.chanlog, "--lines"};
    }
    return {options.chanlog};
}

std::vector<Contender> Contenders(const Options &options, const Services &services) {
    return {{"chanlog", ChanlogArgv(options), options.lines},
            {"limit",
             {options.limit, std::to_string(services.holdPort), std::to_string(services.feedPort)},
             false}};
}

// A B A B: each round runs chanlog, then the reference, so that both see the same machine.
bool RunRounds(Services *services, const Options &options, std::vector<Figures> *chanlog,
               std::vector<Figures> *limit) {
    const std::vector<Contender> contenders = Contenders(options, *services);
    for (int round = 1; round <= options.rounds; ++round) {
        std::printf("round %d of %d, %ld messages each\n", round, options.rounds, options.messages);
        std::fflush(stdout);
        for (std::size_t c = 0; c < contenders.size(); ++c) {
            Figures figures;
            if (!RunSession(services, contenders[c], options, &figures) || StopRequested()) {
                return false;
            }
            for (const bool readConsole : {true, false}) {
                if (options.floodMessages > 0 &&
                    (!RunFloodSession(services, contenders[c], options, readConsole, &figures) ||
                     StopRequested())) {
                    return false;
                }
            }
            (c == 0 ? chanlog : limit)->push_back(figures);
        }
    }
    return true;
}

bool RunStarts(Services *services, const Options &options, std::vector<double> *chanlog,
               std::vector<double> *limit) {
    const std::vector<Contender> contenders = Contenders(options, *services);
    for (int start = 0; start < options.starts; ++start) {
        for (std::size_t c = 0; c < contenders.size(); ++c) {
            double ms = 0;
            if (!MeasureStart(services, contenders[c], &ms) || StopRequested()) {
                return false;
            }
            (c == 0 ? chanlog : limit)->push_back(ms);
        }
    }
    std::printf("start-up: %d starts each\n", options.starts);
    return true;
}

int RunBenchmark(Services *services, const Options &options, bool isolated) {
    const std::string loadBefore = LoadAverage();
    std::printf("chanlog %s%s\nreference %s\nload average before: %s\n", options.chanlog.c_str(),
                options.lines ? " --lines" : "", options.limit.c_str(), loadBefore.c_str());
    std::vector<Figures> chanlog;
    std::vector<Figures> limit;
    std::vector<double> startChanlog;
    std::vector<double> startLimit;
    if (!RunRounds(services, options, &chanlog, &limit) ||
        !RunStarts(services, options, &startChanlog, &startLimit)) {
        return 1;
    }
    const Table table = BuildTable(chanlog, limit, startChanlog, startLimit, options);
    PrintTable(table);
    std::printf("\nidle window %d ms; start-up: median of %d, fork until the feed connection is "
                "accepted\nload average after: %s; %s network namespace\n",
                options.idleMs, options.starts, LoadAverage().c_str(),
                isolated ? "private" : "the machine's (not isolated)");
    if (!options.json.empty() && !WriteTableJson(options, isolated, loadBefore, table)) {
        return 1;
    }
    return 0;
}

// Memory does not grow when no sample after the first is above it.
bool MemoryFlat(const std::vector<long long> &samples) {
    for (const long long kb : samples) {
        if (kb < 0 || kb > samples.front()) {
            return false;
        }
    }
    return !samples.empty();
}

void PrintSoak(const MessageRun &run, long lost, bool flat, long messages) {
    std::printf("soak: %ld messages in %.1f s (%.0f msg/s), latency p50 %.1f us, p99 %.1f us, "
                "max %.0f us\n",
                messages, run.seconds, static_cast<double>(messages) / run.seconds,
                Percentile(run.latencyNs, 0.5) / 1000, Percentile(run.latencyNs, 0.99) / 1000,
                Percentile(run.latencyNs, 1.0) / 1000);
    std::printf("VmRSS (kB) every %ld messages:", messages / 10);
    for (const long long kb : run.rssKb) {
        std::printf(" %lld", kb);
    }
    std::printf("\nlost: %ld\nmemory %s after the first sample\nsoak: %s\n", lost,
                flat ? "does not grow" : "GROWS", lost == 0 && flat ? "PASS" : "FAIL");
}

bool WriteSoakJson(const Options &options, bool isolated, const std::string &loadBefore,
                   const MessageRun &run, long lost, bool flat) {
    std::FILE *file = std::fopen(options.json.c_str(), "w");
    if (file == nullptr) {
        std::fprintf(stderr, "cannot write %s: %s\n", options.json.c_str(), std::strerror(errno));
        return false;
    }
    WriteJsonHeader(file, options, isolated, loadBefore);
    std::vector<double> rss(run.rssKb.begin(), run.rssKb.end());
    std::fprintf(file,
                 "  \"seconds\": %s,\n  \"latency_p50_us\": %s,\n  \"latency_p99_us\": %s,\n"
                 "  \"rss_kb\": %s,\n  \"lost\": %ld,\n  \"memory_flat\": %s,\n"
                 "  \"pass\": %s\n}\n",
                 Number(run.seconds).c_str(), Number(Percentile(run.latencyNs, 0.5) / 1000).c_str(),
                 Number(Percentile(run.latencyNs, 0.99) / 1000).c_str(), NumberList(rss).c_str(),
                 lost, flat ? "true" : "false", lost == 0 && flat ? "true" : "false");
    return std::fclose(file) == 0;
}

int RunSoak(Services *services, const Options &options, bool isolated) {
    const std::string loadBefore = LoadAverage();
    std::printf("soak: %ld messages one at a time to %s%s; load average before: %s\n",
                options.messages, options.chanlog.c_str(), options.lines ? " --lines" : "",
                loadBefore.c_str());
    std::fflush(stdout);
    Client client;
    if (!StartClient(services, ChanlogArgv(options), kConnectTimeoutMs, &client)) {
        return 1;
    }
    MessageRun run;
    const long every = std::max(1L, options.messages / 10);
    const bool sent = SendMessages(&client, options.messages, every, &run);
    const long lost = sent ? LostInLog(client, options.messages) : options.messages;
    StopClient(&client);
    if (!sent) {
        return 1;
    }
    const bool flat = MemoryFlat(run.rssKb);
    PrintSoak(run, lost, flat, options.messages);
    std::printf("load average after: %s\n", LoadAverage().c_str());
    if (!options.json.empty() && !WriteSoakJson(options, isolated, loadBefore, run, lost, flat)) {
        return 1;
    }
    return 0;
}

// Where the driver and the client run decides the latency more than anything either does: a
// wake-up on the other CPU costs an interrupt between CPUs, which in a virtual machine is several
// times dearer than the work of a message, and varies from run to run. So both are pinned, the
// same way for both clients; by default to one CPU, where the figures are the clients' own work.
bool Place(const Options &options, Services *services) {
    if (options.cpus == "any") {
        return true;
    }
    const bool split = options.cpus == "split";
    if (split && sysconf(_SC_NPROCESSORS_ONLN) < 2) {
        std::fprintf(stderr, "--cpus split needs two CPUs\n");
        return false;
    }
    if (!PinToCpu(0)) {
        std::fprintf(stderr, "cannot pin to CPU 0: %s\n", std::strerror(errno));
        return false;
    }
    services->clientCpu = split ? 1 : 0;
    std::printf("cpus: driver on CPU 0, client on CPU %d\n", services->clientCpu);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    switch (ParseOptions(argc, argv, &options)) {
    case OptionsOutcome::kHelp:
        PrintUsage(stdout);
        return 0;
    case OptionsOutcome::kBad:
        PrintUsage(stderr);
        return 2;
    case OptionsOutcome::kRun:
        break;
    }
    g_runDeadlineNs = NowNs() + kRunLimitNs;
    CatchStopSignals();
    const bool isolated = IsolateNetwork();
    if (!isolated) {
        std::fprintf(stderr,
                     "warning: no private network namespace (%s); using the machine's "
                     "loopback, where a service or test on ports %u/%u would collide\n",
                     std::strerror(errno), kHoldPort, kFeedPort);
    } else {
        std::printf("network: private namespace, own loopback\n");
    }
    Services services;
    if (!OpenServices(&services, kHoldPort, kFeedPort) || !Place(options, &services)) {
        return 1;
    }
    const int status = options.soak ? RunSoak(&services, options, isolated)
                                    : RunBenchmark(&services, options, isolated);
    CloseServices(&services);
    if (StopRequested()) {
        std::fprintf(stderr, "chanlog-bench: stopped\n");
        return 130;
    }
    return status;
}

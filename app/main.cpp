#include <allegro5/allegro.h>
#include <allegro5/allegro_primitives.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/arguments.h"
#include "app/report.h"
#include "channels/channels.h"
#include "channels/globals.h"
#include "channels/log.h"
#include "channels/log_rules.h"
#include "config/config.h"
#include "console/console.h"
#include "net/net.h"

namespace {

// Said for any of chanlog's threads that the system refuses, the console's, the log's and the
// end's as well as the channels': the words are those chanlog has always said, which scripts may
// match.
constexpr const char *kThreadFailure = "Could not create a channel thread.\n";

// Opens the log for this run, or ends start-up saying why; a log that another process holds, or
// that cannot be moved aside, is left as it was. Then says where the log is, where a log of an
// earlier run went, and the wall-clock time of stamp 0, so that every stamp can be placed in time.
void OpenLog() {
    char movedTo[kPathMax];
    const char *reason = "";
    switch (LogStart(movedTo, sizeof movedTo, &reason)) {
    case LogOpen::kOpened:
        break;
    case LogOpen::kInUse:
        AbortWithMessage("Could not open %s: in use by another process\n", kLogFileName);
    case LogOpen::kNotMoved:
        AbortWithMessage("Could not move %s from an earlier run aside: %s\n", kLogFileName, reason);
    case LogOpen::kFailed:
        AbortWithMessage("Could not open %s: %s\n", kLogFileName, reason);
    }
    if (movedTo[0] != '\0') {
        ConsoleSay(Stream::kErr, "%s from an earlier run was moved to %s\n", kLogFileName, movedTo);
    }
    // Read together: stamp 0 was the wall clock's now, less the stamp of now.
    const std::int64_t wall = PlatformWallClockMs();
    const auto stampNow = static_cast<std::int64_t>(PlatformTickMs() - g_startTick);
    char stampZero[kUtcTextSize];
    FormatIsoUtc(wall - stampNow, stampZero, sizeof stampZero);
    ConsoleSay(Stream::kErr, "Logging to %s; stamp 0 is %s\n", LogPath(), stampZero);
}

// Set once the process has been asked to end, which the end-request thread then does.
std::atomic<bool> endRequested{false};

// Waits for a request to end (Ctrl-C, SIGTERM): the log is left between two lines, put on the disk
// and what it missed said, so are the lines cut since the last count, and the console gets a
// moment to write what waits for it; then the process ends as it was asked to.
void *EndRequestThread(ALLEGRO_THREAD * /*thread*/, void * /*argument*/) {
    const int request = PlatformWaitForEndRequest();
    endRequested = true;
    LogEnd(kEndRequestLogMs);
    SayCutLinesAtEnd();
    ConsoleEnd(kEndRequestGraceMs);
    PlatformEndAsRequested(request);
}

} // namespace

int main(int argc, char **argv) {
    const Arguments arguments = ParseArguments(argc, argv, PlatformHelpSwitch());
    if (arguments.request != Request::kRun) {
        return AnswerRequest(arguments, PlatformHelpSwitch(), PlatformManual());
    }
    // Before anything can open a descriptor in place of standard output.
    PlatformRecordStdoutAndGuardStandardStreams();
    PlatformIgnoreSignals();
    PlatformHoldEndRequests(); // before Allegro, which may start threads of its own
    PlatformForgetDisplay();
    if (!PlatformStdoutAvailable()) {
        std::fputs("Standard output is closed: chanlog connects nowhere\n", stderr);
    }

    if (!al_install_system(ALLEGRO_VERSION_INT, atexit)) {
        AbortWithMessage("Could not init Allegro.\n");
    }
    // Neither is needed to log; a headless machine has no mouse, and that is fine.
    al_init_primitives_addon();
    al_install_keyboard();
    al_install_mouse();

    g_startTick = PlatformTickMs(); // before the connections, so elapsed times include them
    // A start that connects nowhere logs nothing: it leaves the log as it is.
    if (PlatformStdoutAvailable()) {
        OpenLog();
    }
    if (NetStartup() == 1) {
        return kExitStartupFailed;
    }
    PlatformConsolePrepare();

    // The thread library aborts when the system refuses a thread; say it as a start-up failure.
    PlatformTrapAbort(kThreadFailure, kExitStartupFailed);
    // The console thread may still be held in a write when the process ends, and the end request's
    // waits for the end: neither may be joined, and their handles stay reachable as long as they
    // run, static, as the leak checker rightly asks. Standard error's writer is never joined: it
    // runs detached, and waits for work from now on.
    static ALLEGRO_THREAD *console = al_create_thread(ConsoleThread, nullptr);
    al_run_detached_thread(ConsoleErrThread, nullptr);
    ALLEGRO_THREAD *logSync = al_create_thread(LogSyncThread, nullptr);
    static ALLEGRO_THREAD *endRequest = al_create_thread(EndRequestThread, nullptr);
    ChannelOptions options{arguments.reconnect, arguments.lines};
    ALLEGRO_THREAD *channel[] = {al_create_thread(Channel1Thread, &options),
                                 al_create_thread(Channel2Thread, &options)};
    PlatformReleaseAbort();
    if (console == nullptr || logSync == nullptr || endRequest == nullptr ||
        channel[0] == nullptr || channel[1] == nullptr) {
        AbortWithMessage("%s", kThreadFailure);
    }
    ConsoleStart();
    for (ALLEGRO_THREAD *t : {console, logSync, endRequest}) {
        al_start_thread(t);
    }
    for (ALLEGRO_THREAD *t : channel) {
        al_start_thread(t);
    }
    // Channel 1 never returns once connected, nor either channel with --reconnect, so this
    // normally waits until the process is asked to end or killed.
    int status = EXIT_SUCCESS;
    for (ALLEGRO_THREAD *t : channel) {
        void *result = nullptr;
        al_join_thread(t, &result);
        al_destroy_thread(t);
        if (result == kChannelFailed) {
            status = kExitChannelFailed;
        }
    }
    // Channel 2 has closed the log, which ends the thread that puts it on the disk.
    al_join_thread(logSync, nullptr);
    al_destroy_thread(logSync);
    // What still waits for the console is written before the process ends, unless standard output
    // holds it up for longer than that.
    if (ConsoleEnd(kEndGraceMs)) {
        al_join_thread(console, nullptr);
        al_destroy_thread(console);
    }
    if (endRequested) {
        PlatformWaitForever(); // asked to end meanwhile: it ends as it was asked, with its status
    }
    return status;
}

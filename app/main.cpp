#include <allegro5/allegro.h>
#include <allegro5/allegro_primitives.h>

#include <cstdio>
#include <cstdlib>

#include "app/arguments.h"
#include "app/config.h"
#include "app/console.h"
#include "app/globals.h"
#include "app/report.h"
#include "channels/channels.h"
#include "net/net.h"

namespace {

constexpr const char *kThreadFailure = "Could not create a channel thread.\n";

// Opens the log, emptied, or ends start-up saying why; a log that another process holds is left
// as it is.
void OpenLog() {
    const char *reason = "";
    switch (PlatformOpenLog(kLogFileName, &g_logFile, &reason)) {
    case LogOpen::kOpened:
        return;
    case LogOpen::kInUse:
        AbortWithMessage("Could not open %s: in use by another process\n", kLogFileName);
    case LogOpen::kFailed:
        AbortWithMessage("Could not open %s: %s\n", kLogFileName, reason);
    }
}

} // namespace

int main(int argc, char **argv) {
    const Arguments arguments = ParseArguments(argc, argv, PlatformHelpSwitch());
    if (arguments.request != Request::kRun) {
        return AnswerRequest(arguments, PlatformHelpSwitch(), PlatformManual());
    }
    PlatformRecordStdout(); // before anything can open a descriptor in place of standard output
    PlatformIgnoreSignals();
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
    OpenLog();
    if (NetStartup(&g_netData) == 1) {
        return kExitStartupFailed;
    }
    PlatformConsolePrepare();

    // The thread library aborts when the system refuses a thread; say it as a start-up failure.
    PlatformTrapAbort(kThreadFailure, kExitStartupFailed);
    ALLEGRO_THREAD *console = al_create_thread(ConsoleThread, nullptr);
    ALLEGRO_THREAD *channel[] = {al_create_thread(Channel1Thread, nullptr),
                                 al_create_thread(Channel2Thread, nullptr)};
    PlatformReleaseAbort();
    if (console == nullptr || channel[0] == nullptr || channel[1] == nullptr) {
        AbortWithMessage("%s", kThreadFailure);
    }
    ConsoleStart();
    al_start_thread(console);
    for (ALLEGRO_THREAD *t : channel) {
        al_start_thread(t);
    }
    // Channel 1 never returns once connected, so this normally waits until the process is killed.
    int status = EXIT_SUCCESS;
    for (ALLEGRO_THREAD *t : channel) {
        void *result = nullptr;
        al_join_thread(t, &result);
        al_destroy_thread(t);
        if (result == kChannelFailed) {
            status = kExitChannelFailed;
        }
    }
    ConsoleStop(); // what still waits for the console is written before the process ends
    al_join_thread(console, nullptr);
    al_destroy_thread(console);
    return status;
}

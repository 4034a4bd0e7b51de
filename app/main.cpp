#include <allegro5/allegro.h>
#include <allegro5/allegro_primitives.h>

#include <cstdio>
#include <cstdlib>

#include "app/config.h"
#include "app/globals.h"
#include "app/report.h"
#include "channels/channels.h"
#include "net/net.h"

namespace {

constexpr const char *kThreadFailure = "Could not create a channel thread.\n";

// Opens the log, emptied, or ends start-up saying why; a log that another chanlog is writing is
// left as it is.
void OpenLog() {
    const char *reason = "";
    switch (PlatformOpenLog(kLogFileName, &g_logFile, &reason)) {
    case LogOpen::kOpened:
        return;
    case LogOpen::kInUse:
        AbortWithMessage("Could not open %s: in use by another chanlog\n", kLogFileName);
    case LogOpen::kFailed:
        AbortWithMessage("Could not open %s: %s\n", kLogFileName, reason);
    }
}

} // namespace

int main() {
    PlatformRecordStdout(); // before anything can open a descriptor in place of standard output
    PlatformIgnoreSigpipe();

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

    // The thread library aborts when the system refuses a thread; say it as a start-up failure.
    PlatformTrapAbort(kThreadFailure, kExitStartupFailed);
    ALLEGRO_THREAD *thread[] = {al_create_thread(Channel1Thread, nullptr),
                                al_create_thread(Channel2Thread, nullptr)};
    PlatformReleaseAbort();
    for (const ALLEGRO_THREAD *t : thread) {
        if (t == nullptr) {
            AbortWithMessage("%s", kThreadFailure);
        }
    }
    for (ALLEGRO_THREAD *t : thread) {
        al_start_thread(t);
    }
    // Channel 1 never returns once connected, so this normally waits until the process is killed.
    int status = EXIT_SUCCESS;
    for (ALLEGRO_THREAD *t : thread) {
        void *result = nullptr;
        al_join_thread(t, &result);
        al_destroy_thread(t);
        if (result == kChannelFailed) {
            status = kExitChannelFailed;
        }
    }
    return status;
}

#include "bench/services.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "harness/io.h"
#include "harness/loopback.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnStopSignal(int /*signal*/) {
    stopRequested = 1;
}

// Accepts and closes whatever waits on the listener: a client killed before it was accepted would
// otherwise be taken for the next one.
void DropPending(int listener) {
    for (int s = AcceptWithin(listener, 0); s != -1; s = AcceptWithin(listener, 0)) {
        close(s);
    }
}

// What the client wrote to standard error, for messages about a failure.
std::string ClientStderr(const Client &client) {
    const std::string err = client.process.err == -1 ? "" : ReadToEnd(client.process.err, 0);
    return err.empty() ? err : "; its standard error: " + err;
}

} // namespace

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

bool OpenServices(Services *services, std::uint16_t holdPort, std::uint16_t feedPort) {
    services->holdListener = Listen(holdPort);
    services->feedListener = services->holdListener == -1 ? -1 : Listen(feedPort);
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
    CloseFd(&services->holdListener);
    CloseFd(&services->feedListener);
}

bool StartClient(Services *services, const std::vector<std::string> &argv, int timeoutMs,
                 Client *client) {
    *client = Client{};
    DropPending(services->holdListener);
    DropPending(services->feedListener);
    client->dir = MakeTempDir();
    SpawnOptions options;
    options.workDir = client->dir;
    options.cpu = services->clientCpu;
    // A client holds its connections until it is killed: if the driver is stopped half way, the
    // client must go with it rather than linger.
    options.dieWithParent = true;
    if (!client->dir.empty()) {
        client->process = Spawn(argv, options);
    }
    if (client->process.pid <= 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0].c_str(), std::strerror(errno));
        StopClient(client);
        return false;
    }
    // The feed first: its accept() ends the start-up that the driver measures. The hold connection
    // waits in the listener's queue meanwhile, whichever came first.
    const std::int64_t deadline = client->process.startNs + timeoutMs * std::int64_t{1000000};
    client->feed = AcceptWithin(services->feedListener, MsUntil(deadline));
    client->feedAcceptedNs = NowNs();
    client->hold = AcceptWithin(services->holdListener, MsUntil(deadline));
    if (client->feed == -1 || client->hold == -1) {
        std::fprintf(stderr, "%s did not connect to both services within %d ms%s\n",
                     argv[0].c_str(), timeoutMs, ClientStderr(*client).c_str());
        StopClient(client);
        return false;
    }
    return true;
}

void StopClient(Client *client) {
    Stop(client->process, SIGKILL);
    CloseFd(&client->hold);
    CloseFd(&client->feed);
    if (!client->dir.empty()) {
        RemoveDir(client->dir);
        client->dir.clear();
    }
}

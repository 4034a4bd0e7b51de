#pragma once

// The driver's side of the connections: the two services a client connects to, and the client
// process itself with its standard output on a pipe and a working folder of its own.

#include <cstdint>
#include <string>
#include <vector>

#include "harness/child.h"

// After this, SIGINT and SIGTERM only set a flag and interrupt the wait in progress, so that the
// driver stops its client and removes its folder before it ends.
void CatchStopSignals();
bool StopRequested();

// The hold and feed listeners, on 127.0.0.1.
struct Services {
    int holdListener = -1;
    int feedListener = -1;
    std::uint16_t holdPort = 0;
    std::uint16_t feedPort = 0;
    int clientCpu = -1; // the CPU every client is pinned to, or -1 for anywhere
};

// Listens on both ports; false (with a message) if either cannot be had.
bool OpenServices(Services *services, std::uint16_t holdPort, std::uint16_t feedPort);
void CloseServices(Services *services);

// One client run: its process, its working folder and its connections.
struct Client {
    Child process;
    std::string dir;
    int hold = -1; // the accepted connections
    int feed = -1;
    std::int64_t feedAcceptedNs = 0; // when accept() on the feed port returned
};

// Starts `argv` (argv[0] is a path), pinned to the services' client CPU and ended with the driver,
// in a fresh temporary folder with standard output on a pipe, then accepts its hold and feed
// connections within `timeoutMs`. Connections left over from an earlier client are dropped first.
// False (with a message) on failure; the client is then already stopped.
bool StartClient(Services *services, const std::vector<std::string> &argv, int timeoutMs,
                 Client *client);
// Kills the client, reaps it, closes its connections and pipe and removes its folder.
void StopClient(Client *client);

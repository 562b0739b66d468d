// --station: a production bench. Every board plugged into a socket is upgraded once; adapters
// come and go while it runs. One process watches the adapters and shows the sockets; each
// socket is a child process of its own (the link is one per process).
#pragma once

#include "cli/flash_options.h"

// The station itself, until stopped. Returns the exit status.
int RunStation(const FlashOptions& options);

// One socket, in a child of the station (--station-socket --port DEVICE): the port opened and
// settled once, then board after board, each upgraded once, until the station stops it or the
// adapter goes. Its events are --json's, with more for the socket's life.
int RunStationSocket(const FlashOptions& options);

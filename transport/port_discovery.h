// Finding the board's serial port through the active-driver list, opening and configuring it.
#pragma once

#include "platform/wincore.h"

inline constexpr std::size_t kPortNameBytes = 128;

// Name of the port last chosen by OpenPort ("COM1:" when nothing better was found).
extern char g_szPortName[kPortNameBytes];

// Every adapter port the driver list matches, in its order, up to `capacity`; returns how many.
std::size_t FindAdapterPorts(char (*names)[kPortNameBytes], std::size_t capacity);

// Why OpenPort settled on g_szPortName.
enum class PortSource {
    Fallback,  // nothing matched: "COM1:"
    Adapter,   // an adapter in the active-driver list
    Named,     // named by the user, ahead of the list
};
extern PortSource g_portSource;

// Names the port OpenPort tries before the active-driver list; `origin` says who named it
// ("--port", "VANTRA_PORT") in the start-up log. nullptr forgets it. False, and nothing
// changed, for an empty name or one longer than the port name holds.
bool SetNamedPort(const char* name, const char* origin);

// Finds, opens and configures the port, leaving its handle in g_hPort. False when it could not
// be opened or configured; the user has then been told. Says on standard error which port it
// tried and why, and why an open failed.
bool OpenPort();

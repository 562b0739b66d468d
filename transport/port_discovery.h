// Finding the board's serial port through the active-driver list, opening and configuring it.
#pragma once

#include "platform/wincore.h"

inline constexpr std::size_t kPortNameBytes = 128;

// Name of the port last chosen by OpenPort ("COM1:" when nothing better was found).
extern char g_szPortName[kPortNameBytes];

// Every adapter port the driver list matches, in its order, up to `capacity`; returns how many.
std::size_t FindAdapterPorts(char (*names)[kPortNameBytes], std::size_t capacity);

// Finds, opens and configures the port (VANTRA_PORT, when set, instead of the search), leaving its
// handle in g_hPort. False when it could not be opened or configured; the user has then been told.
bool OpenPort();

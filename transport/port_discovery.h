// Finding the board's serial port through the active-driver list, opening and configuring it.
#pragma once

#include "platform/wincore.h"

inline constexpr std::size_t kPortNameBytes = 128;

// Name of the port last chosen by OpenPort ("COM1:" when nothing better was found).
extern char g_szPortName[kPortNameBytes];

// Finds, opens and configures the port, leaving its handle in g_hPort. False when it could not
// be opened or configured; the user has then been told.
bool OpenPort();

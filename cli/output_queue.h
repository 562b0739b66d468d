// Standard output and standard error for a program that must never wait on its reader: a pager,
// a terminal paused with Ctrl-S or a slow pipe would otherwise stall the board mid-image. Text
// waits in memory and a thread of each stream's own writes it as the reader takes it.
#pragma once

#include <string>

// Queues `text` for standard output or standard error (`fd`) and returns at once. Texts are
// written in order, each whole and in one write where it fits a pipe's atomic size, so a reader
// of a pipe (the --all parent) never sees half a line. Nothing is dropped unless the reader has
// gone (a closed pipe, a hung-up terminal): then the rest is dropped quietly.
void WriteAll(int fd, const std::string& text);

// Queues a redraw of the line a terminal shows in place (a progress bar). A redraw still waiting
// behind the reader is replaced by it, so a terminal that is not taking them holds only the
// latest; a text queued after a redraw is never overtaken.
void RedrawLine(int fd, const std::string& text);

// Waits until all that is queued is written, or its reader is gone. Returns false, early, once a
// caught signal waits to be taken (platform/host_signals.h): the caller takes it.
bool FlushOutput();

// The last wait on every way out of the program: until all is written or the readers are gone.
// A Ctrl-C, SIGTERM, SIGHUP or SIGQUIT caught meanwhile gives up on the rest (the upgrade and its
// record are done by then); other caught signals are dropped.
void FlushOutputAtExit();

// What vantra-flash tells its user: human text and progress on standard error, or with --json
// one object per event on standard output. All of it goes through cli/output_queue.h: queued
// whole, never waited on between blocks.
#pragma once

#include <string>

#include "cli/adapter_identity.h"
#include "cli/json_line.h"
#include "cli/output_queue.h"
#include "platform/wintypes.h"

enum class ProgressStyle {
    Bar,    // standard error is a terminal: one line redrawn in place
    Lines,  // otherwise: a line at every 10 %
    None,   // --json: the progress events say it all
};

// `text` wrapped at words for a terminal, with a final newline.
std::string WrapText(const char* text);

class CFlashReport {
public:
    CFlashReport(bool json, ProgressStyle style);

    void SetPort(const std::string& port) { port_ = port; }
    const std::string& port() const { return port_; }
    // The adapter behind the port; every event that names the port carries it.
    void SetIdentity(const AdapterIdentity& identity) { identity_ = identity; }
    const AdapterIdentity& identity() const { return identity_; }

    // Human text on standard error, shown and not obeyed (platform::EscapeText). With --json,
    // stdout holds the events and standard error only what a person must see besides them
    // (the question, a record that was not written).
    void Say(const std::string& line) const;

    void PortOpened();
    void Board(const std::string& version, const std::string& serial, bool serialSeen);
    void SharedPort(const std::string& holders);
    // Something the user must know that does not stop the upgrade ("Warning: ..." on standard
    // error, or a warning event).
    void Warning(const std::string& text);
    // A `warning` event for an adapter whose latency timer slows the upgrade (a person has
    // already read it on standard error, from the transport).
    void SlowAdapterEvent(int timerMs, double secondsAdded, const std::string& fix,
                          const std::string& text);
    // A failure before the transfer: `message` is the system's own text, `detail` the reason.
    void Error(const std::string& message, const std::string& detail, int exitStatus);
    void Announce() const;  // the warning and the version carried, on standard error

    void TransferStarted(DWORD blocks);
    void Progress(DWORD index, DWORD count, bool acknowledged);
    void Outcome(const char* outcome, const std::string& message, DWORD sent, DWORD acknowledged,
                 DWORD count, int exitStatus);

    double transferSeconds() const;

    // A line's start: event, time, elapsed, port and adapter; for events of a caller's own,
    // written with Emit (--json only).
    JsonLine Event(const char* name) const;
    void Emit(const JsonLine& event) const;

private:
    void DrawProgress(DWORD acknowledged, DWORD count, bool last);

    bool json_;
    ProgressStyle style_;
    std::string port_;
    AdapterIdentity identity_;
    double started_;
    double transferStarted_ = 0;
    double lastDrawn_ = 0;
    int lastTenth_ = -1;
    bool barShown_ = false;
};

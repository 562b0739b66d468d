#include "cli/flash_report.h"

#include <unistd.h>

#include <cstdio>

#include "cli/json_line.h"
#include "platform/text.h"
#include "upgrade/firmware_transfer.h"

namespace {

constexpr double kBarRedrawSeconds = 0.1;
constexpr int kBarWidth = 30;
constexpr std::size_t kWrapColumns = 78;

}  // namespace

// The warning is one long sentence for a narrow screen; a terminal gets it wrapped at words.
std::string WrapText(const char* text) {
    std::string out;
    std::string line;
    std::string word;
    auto flushWord = [&] {
        if (word.empty()) return;
        if (!line.empty() && line.size() + 1 + word.size() > kWrapColumns) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        word.clear();
    };
    for (const char* p = text; *p != 0; ++p) {
        if (*p == ' ') {
            flushWord();
        } else {
            word += *p;
        }
    }
    flushWord();
    return out + line + "\n";
}

namespace {

std::string Clock(double seconds) {
    if (seconds < 0) seconds = 0;
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace

CFlashReport::CFlashReport(bool json, ProgressStyle style)
    : json_(json), style_(style), started_(MonotonicSeconds()) {}

void CFlashReport::Say(const std::string& line) const {
    WriteAll(STDERR_FILENO, platform::EscapeText(line) + "\n");
}

JsonLine CFlashReport::Event(const char* name) const {
    JsonLine event;
    event.Text("event", name)
        .Text("time", UtcTimestamp())
        .Number("elapsed", MonotonicSeconds() - started_, 3);
    if (!port_.empty()) AddIdentity(event.Text("port", port_), identity_);
    return event;
}

void CFlashReport::Emit(const JsonLine& event) const {
    if (json_) WriteAll(STDOUT_FILENO, event.Finish());
}

void CFlashReport::PortOpened() {
    if (json_) {
        WriteAll(STDOUT_FILENO, Event("port").Finish());
    } else {
        const std::string where = DescribeIdentity(identity_);
        Say("Port: " + port_ + (where.empty() ? "" : " (" + where + ")"));
    }
}

void CFlashReport::Board(const std::string& version, const std::string& serial, bool serialSeen) {
    if (json_) {
        WriteAll(STDOUT_FILENO, Event("version").Text("version", version).Finish());
        if (serialSeen) WriteAll(STDOUT_FILENO, Event("serial").Text("serial", serial).Finish());
        return;
    }
    Say("Current Version: " + version);
    Say(serialSeen ? "Serial Number: " + serial : "Serial Number: (no reply)");
}

void CFlashReport::SharedPort(const std::string& holders) {
    const std::string text = port_ + " is also open in " + holders +
                             "; bytes it sends or takes can corrupt the upgrade.";
    if (json_) {
        WriteAll(STDOUT_FILENO, Event("warning").Text("message", text).Finish());
    } else {
        Say("Warning: " + text);
    }
}

void CFlashReport::Warning(const std::string& text) {
    if (json_) {
        WriteAll(STDOUT_FILENO, Event("warning").Text("message", text).Finish());
    } else {
        if (barShown_) WriteAll(STDERR_FILENO, "\n");  // not written over by the next bar
        barShown_ = false;
        Say("Warning: " + text);
    }
}

void CFlashReport::SlowAdapterEvent(int timerMs, double secondsAdded, const std::string& fix,
                                    const std::string& text) {
    if (!json_) return;
    WriteAll(STDOUT_FILENO, Event("warning")
                                .Text("message", text)
                                .Number("latency_timer_ms", timerMs)
                                .Number("seconds_added", secondsAdded, 1)
                                .Text("fix", fix)
                                .Finish());
}

void CFlashReport::Error(const std::string& message, const std::string& detail, int exitStatus) {
    if (json_) {
        WriteAll(STDOUT_FILENO, Event("error")
                                    .Text("message", message)
                                    .Text("detail", detail)
                                    .Number("exit", exitStatus)
                                    .Finish());
        return;  // the wrapper (or --all's parent) shows it; twice would garble its screen
    }
    Say(message);
    if (!detail.empty()) Say(detail);
}

void CFlashReport::Announce() const {
    Say("");
    WriteAll(STDERR_FILENO, WrapText(kWarningText));
    Say(kNewVersionText);
    Say("");
}

void CFlashReport::TransferStarted(DWORD blocks) {
    transferStarted_ = MonotonicSeconds();
    lastDrawn_ = 0;
    lastTenth_ = 0;
    if (json_) {
        WriteAll(STDOUT_FILENO, Event("transfer").Number("blocks", blocks).Finish());
    } else if (style_ == ProgressStyle::Lines) {
        Say("Sending " + std::to_string(blocks) + " blocks.");
    }
}

double CFlashReport::transferSeconds() const {
    return transferStarted_ > 0 ? MonotonicSeconds() - transferStarted_ : 0;
}

void CFlashReport::Progress(DWORD index, DWORD count, bool acknowledged) {
    if (!acknowledged) return;  // the outcome says what became of that block
    const DWORD done = index + 1;
    const bool last = done == count;
    if (json_) {
        const double seconds = transferSeconds();
        const double rate = seconds > 0 ? done * double(kBlockBytes) / seconds : 0;
        const double left = rate > 0 ? (count - done) * double(kBlockBytes) / rate : 0;
        WriteAll(STDOUT_FILENO, Event("progress")
                                    .Number("block", done)
                                    .Number("blocks", count)
                                    .Number("percent", done * 100.0 / count, 1)
                                    .Number("bytes", done * double(kBlockBytes))
                                    .Number("bytes_per_second", rate)
                                    .Number("seconds_left", left, 1)
                                    .Finish());
        return;
    }
    DrawProgress(done, count, last);
}

void CFlashReport::DrawProgress(DWORD done, DWORD count, bool last) {
    const double now = MonotonicSeconds();
    const int percent = static_cast<int>(static_cast<unsigned long long>(done) * 100 / count);
    if (style_ == ProgressStyle::Bar && !last && now - lastDrawn_ < kBarRedrawSeconds) return;
    if (style_ == ProgressStyle::Lines && !last && percent / 10 == lastTenth_) return;
    if (style_ == ProgressStyle::None) return;
    lastDrawn_ = now;
    lastTenth_ = percent / 10;

    const double seconds = now - transferStarted_;
    const double rate = seconds > 0 ? done * double(kBlockBytes) / seconds : 0;
    const double left = rate > 0 ? (count - done) * double(kBlockBytes) / rate : 0;
    char figures[128];
    std::snprintf(figures, sizeof figures, "%3d%%  %lu/%lu blocks  %.1f kB/s  %s left", percent,
                  static_cast<unsigned long>(done), static_cast<unsigned long>(count),
                  rate / 1000.0, Clock(left).c_str());
    if (style_ == ProgressStyle::Lines) {
        Say(std::string("Progress: ") + figures);
        return;
    }
    const int filled = percent * kBarWidth / 100;
    std::string bar = "\r[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') +
                      "] " + figures + "\033[K";
    if (last) bar += "\n";
    barShown_ = !last;
    RedrawLine(STDERR_FILENO, bar);
}

void CFlashReport::Outcome(const char* outcome, const std::string& message, DWORD sent,
                           DWORD acknowledged, DWORD count, int exitStatus) {
    if (barShown_) WriteAll(STDERR_FILENO, "\n");  // leave the bar where it stopped
    barShown_ = false;
    if (json_) {
        WriteAll(STDOUT_FILENO, Event("outcome")
                                    .Text("outcome", outcome)
                                    .Text("message", message)
                                    .Number("blocks_sent", sent)
                                    .Number("blocks_acknowledged", acknowledged)
                                    .Number("blocks", count)
                                    .Number("seconds", transferSeconds(), 3)
                                    .Number("exit", exitStatus)
                                    .Finish());
        return;
    }
    Say(message);
    char summary[160];
    std::snprintf(summary, sizeof summary, "%lu of %lu blocks sent, %lu acknowledged, in %.1f s.",
                  static_cast<unsigned long>(sent), static_cast<unsigned long>(count),
                  static_cast<unsigned long>(acknowledged), transferSeconds());
    Say(summary);
}

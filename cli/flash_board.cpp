#include "cli/flash_board.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/flash_log.h"
#include "cli/flash_report.h"
#include "cli/json_line.h"
#include "cli/port_holders.h"
#include "cli/second_interrupt.h"
#include "link/device_link.h"
#include "platform/host_facts.h"
#include "platform/host_signals.h"
#include "platform/text.h"
#include "platform/trace.h"
#include "platform/wincore.h"
#include "transport/link_session.h"
#include "transport/port_discovery.h"
#include "upgrade/carried_firmware.h"
#include "upgrade/firmware_transfer.h"
#include "upgrade/host_guard.h"

namespace {

constexpr DWORD kWorkerStopMs = 2000;

// Signals are only noted by their handler (platform/host_signals.h) and acted on here. Before
// the transfer nothing has been sent: Ctrl-C ends the program with status 130, SIGTERM, SIGHUP
// and SIGQUIT end it by that signal, as they always have, but only once the port is closed.
// From the first block to the verdict the board's image is incomplete, so SIGTERM, SIGHUP,
// SIGQUIT and Ctrl-Z are held until the verdict and one Ctrl-C only warns; a second within 5 s
// stops after the block in flight (cli/second_interrupt.h). SIGUSR1 is --all's parent deciding
// for its children: stop now.
constexpr char kInterruptWarning[] =
    "Stopping now leaves the board with an incomplete image. Press Ctrl-C again within 5 s to "
    "stop after the block in flight.";
HANDLE g_hSignals = nullptr;

// The signal a start-up step was cut short by, or 0.
int SignalBeforeTransfer() {
    platform::CaughtSignal caught;
    int ending = 0;
    while (platform::TakeCaughtSignal(&caught)) {
        if (ending == 0 || caught.number != SIGINT) ending = caught.number;
    }
    return ending;
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += static_cast<char>(c & 0xFF);
    return out;
}

std::string SystemText(DWORD code) {
    LPWSTR text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text),
        0, nullptr);
    std::string out = n != 0 ? Narrow(text) : "error " + std::to_string(code);
    LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// The transfer's two interfaces for a terminal: there is no LOAD button, and the progress is
// counted in blocks rather than drawn as a bar position. Between blocks it looks at the signals
// that came (a flag read, nothing more unless one did).
class CTerminalHost final : public ITransferView, public IProgressSink {
public:
    using StartHook = bool (*)(void* context);
    CTerminalHost(CFlashReport& report, bool checkPower, StartHook onStart, void* context)
        : report_(report), checkPower_(checkPower), onStart_(onStart), context_(context) {}
    void EnableLoad(BOOL) override {}
    void ReportLastSystemError() override { ::ReportLastSystemError(); }
    void SetPosition(int) override {}

    // Each host call may block for a while (a slow bus, a log file locked by another board),
    // and nothing has been sent yet: a signal that came meanwhile refuses the transfer. The
    // record's started line goes between the battery and the lock, and its wait for the log
    // (another board holding it) is not charged to the lock's share of the deadline.
    bool BeginTransfer() override {
        const CHostGuard::Start start = guard_.Begin(HostCheckDeadline(), checkPower_, [this] {
            return !SignalledBeforeFirstBlock() && onStart_(context_) &&
                   !SignalledBeforeFirstBlock();
        });
        if (start == CHostGuard::Start::BatteryLow) {
            lowPower_ = true;
            report_.Error(kBatteryTooLow,
                          "The computer runs on its battery; a flat battery during the upgrade "
                          "may disable the instrument. Nothing was sent. --ignore-power starts "
                          "anyway.",
                          kExitLowPower);
            return false;
        }
        if (start == CHostGuard::Start::Refused) return false;
        if (!guard_.LockHeld()) {
            report_.Warning(LockNotHeldText(guard_.LockRefusal()) +
                            "; keep it awake and on mains power.");
        } else if (!guard_.Narrowed().empty()) {
            report_.Warning(guard_.Narrowed());
        }
        return true;
    }

    // The last look before block 0. From here on a stopped process would stop the line: Ctrl-Z
    // waits for the verdict, and so does a write to the terminal from the background.
    bool ReadyForFirstBlock() override {
        if (!guard_.ReadyForFirstBlock()) {
            SignalledBeforeFirstBlock();  // the signal that refused it, for FlashBoard's way out
            return false;
        }
        std::signal(SIGTTOU, SIG_IGN);
        report_.TransferStarted(blocks_);
        return true;
    }

    void EndTransfer(TransferOutcome) override { guard_.End(); }

    void OnBlockDone(DWORD index, DWORD count, bool acknowledged) override {
        sent_ = index + 1;
        if (acknowledged) acknowledged_ = index + 1;
        report_.Progress(index, count, acknowledged);
        if (platform::CaughtSignalPending()) TakeSignals();
    }

    // After the verdict: what came during the transfer is taken. Ctrl-Z stays caught until the
    // port is closed (FlashOneBoard), so a stopped program never holds it.
    void Settle() {
        if (platform::CaughtSignalPending()) TakeSignals();
    }
    bool stopHeld() const { return stopHeld_; }

    DWORD blocks_ = 0;
    DWORD sent_ = 0;
    DWORD acknowledged_ = 0;
    bool lowPower_ = false;
    int refusedBy_ = 0;  // the signal that came before block 0, which was then not sent
    std::atomic<bool> stop_{false};

private:
    // Takes the signals caught so far, before anything was sent: any refuses the transfer
    // (Ctrl-Z is not caught until the last look has found none).
    bool SignalledBeforeFirstBlock() {
        platform::CaughtSignal s;
        while (platform::TakeCaughtSignal(&s)) {
            if (refusedBy_ == 0 || s.number != SIGINT) refusedBy_ = s.number;
        }
        return refusedBy_ != 0;
    }

    void TakeSignals() {
        platform::CaughtSignal s;
        while (platform::TakeCaughtSignal(&s)) {
            if (s.number == SIGUSR1) {
                stop_.store(true);
            } else if (s.number == SIGINT) {
                if (interrupts_.Stops(s)) {
                    stop_.store(true);
                } else {
                    report_.Warning(kInterruptWarning);
                }
            } else if (s.number == SIGTSTP) {
                stopHeld_ = true;
                platform::Trace(platform::TraceKind::SignalHeld, {s.number});
                Held("Ctrl-Z");
            } else {
                platform::Trace(platform::TraceKind::SignalHeld, {s.number});
                Held(s.number == SIGHUP ? "SIGHUP" : s.number == SIGTERM ? "SIGTERM" : "SIGQUIT");
            }
        }
    }
    void Held(const char* what) {
        if (heldSaid_) return;
        heldSaid_ = true;
        report_.Warning(std::string(what) +
                        " received during the transfer: it takes effect after the verdict.");
    }

    CFlashReport& report_;
    bool checkPower_;
    StartHook onStart_;
    void* context_;
    CHostGuard guard_;
    CSecondInterrupt interrupts_;
    bool heldSaid_ = false;
    bool stopHeld_ = false;
};

// The link, taken down on every way out of FlashBoard, so the port is closed before the program
// stops or ends by a signal. A worker that will not stop must not outlive the objects it uses.
struct TerminalLink {
    CLinkSession session;
    ~TerminalLink() {
        if (!session.Close(kWorkerStopMs)) {
            platform::CloseTrace();
            FlushOutputAtExit();
            ::_exit(kExitFailed);
        }
    }
};

}  // namespace

bool Confirm(const char* question) {
    WriteAll(STDERR_FILENO, std::string(question) + " [y/N] ");
    if (!FlushOutput()) return false;  // a signal came first: the caller takes it
    std::string answer;
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) == 1 && c != '\n') answer += c;
    if (!::isatty(STDIN_FILENO)) WriteAll(STDERR_FILENO, answer + "\n");
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

namespace {

// What the record's two lines share, and the started line itself, written before the first block.
struct Record {
    Record(const FlashOptions& o, CFlashReport& r) : options(o), report(r) {}
    const FlashOptions& options;
    CFlashReport& report;
    std::string id = NewUpgradeId();
    std::string started;
    std::string serial;
    std::string version;
    std::string checksum;
    DWORD imageBytes = 0;
    DWORD blocks = 0;
    bool refused = false;  // the started line could not be written

    JsonLine Common() const {
        JsonLine line;
        AddIdentity(line.Text("upgrade_id", id).Text("port", report.port()), report.identity());
        return line.Text("serial", serial)
            .Text("old_version", version)
            .Text("new_version", CarriedVersion())
            .Text("image_crc32", checksum)
            .Number("image_bytes", imageBytes);
    }

    // Called at the first block's door: an upgrade whose start cannot be recorded is not begun,
    // and one that has begun is in the log even if the process is killed before its verdict.
    static bool Start(void* context) {
        Record& r = *static_cast<Record*>(context);
        r.started = UtcTimestamp();
        if (!r.options.log.empty()) {
            std::string error;
            const std::string line = r.Common()
                                         .Text("outcome", "started")
                                         .Number("blocks", r.blocks)
                                         .Text("start", r.started)
                                         .Finish();
            if (!AppendFlashLog(r.options.log, line, &error)) {
                r.refused = true;
                r.report.Error("Could not record the upgrade; nothing was sent.", error,
                               kExitUsage);
                return false;
            }
            r.startLogged = true;
        }
        return true;
    }

    // The outcome line. False (with the reason said) when it could not be written.
    bool Finish(const char* word, DWORD sent, DWORD acknowledged, double seconds) {
        if (options.log.empty()) return true;
        if (started.empty()) started = UtcTimestamp();  // never began
        const std::string line = Common()
                                     .Text("outcome", word)
                                     .Number("blocks_sent", sent)
                                     .Number("blocks_acknowledged", acknowledged)
                                     .Number("blocks", blocks)
                                     .Text("start", started)
                                     .Number("duration", seconds, 3)
                                     .Finish();
        std::string error;
        if (AppendFlashLog(options.log, line, &error)) return true;
        report.Warning("could not record this upgrade's outcome: " + error);
        return false;
    }

    bool startLogged = false;  // the started line is in the log: it must get its outcome
};

// Ends the program after a signal that came before the transfer: the port is closed by now.
int EndBeforeTransfer(CFlashReport& report, int number) {
    if (number == SIGINT || number == SIGUSR1) {
        report.Say("Interrupted; nothing was sent to the board.");
        return kExitInterrupted;
    }
    return 128 + number;  // FlashOneBoard ends by the signal itself
}

int FlashBoard(const FlashOptions& options, bool* stopHeld) {
    CFlashReport report(options.json, options.json                   ? ProgressStyle::None
                                      : ::isatty(STDERR_FILENO) != 0 ? ProgressStyle::Bar
                                                                     : ProgressStyle::Lines);
    std::signal(SIGPIPE, SIG_IGN);  // a reader gone away must not end a transfer

    if (!NameChosenPort(options)) return kExitUsage;

    TerminalLink link;
    const PortOpenResult open = link.session.Open();
    report.SetPort(g_szPortName);
    const std::string device = DevicePathOf(g_szPortName);
    if (!open.opened()) {
        const std::string detail =
            open.outcome == PortOpen::LineSettingsRefused
                ? device +
                      " refused the line settings (38400 baud, 8 data bits, no parity, "
                      "1 stop bit)."
                : ExplainOpenFailure(device, SystemText(open.error));
        report.Error(PortOpenMessage(open.outcome), detail, kExitNoPort);
        return kExitNoPort;
    }
    platform::SerialDevice adapter;
    const bool known = platform::FindSerialDevice(device, &adapter);
    if (known) report.SetIdentity(IdentityOf(adapter));
    report.PortOpened();
    SlowAdapter slow;
    if (known && FindSlowAdapter(adapter, &slow))
        report.SlowAdapterEvent(slow.timerMs, slow.secondsAdded, slow.fix, slow.text);
    const std::vector<PortHolder> others = FindPortHolders(device);
    if (!others.empty()) report.SharedPort(DescribeHolders(others));

    // The window's start-up, with its second pause cut short once the board has answered; the
    // pauses end early when a signal arrives.
    link.session.Settle(g_hSignals);
    if (const int number = SignalBeforeTransfer()) return EndBeforeTransfer(report, number);
    link.session.StartWorker();
    const BoardAnswer answer = link.session.Query(ReplyWait::UntilAnswered, g_hSignals);
    if (const int number = SignalBeforeTransfer()) return EndBeforeTransfer(report, number);
    if (!answer.version) {
        report.Error("No board answered on " + report.port() + ".",
                     "Check the cable, that the instrument is switched on, and the port.",
                     kExitNoAnswer);
        return kExitNoAnswer;
    }
    char version[32];
    char serial[32];
    g_DeviceLink.GetVersion(version, sizeof version);
    g_DeviceLink.GetSerial(serial, sizeof serial);
    report.Board(version, serial, answer.serial);
    // Whoever is asked sees the warning first; a wrapper that answered with --yes has its events.
    if (!options.json || !options.yes) report.Announce();

    if (!options.yes) {
        const std::string question =
            "Upgrade the board on " + platform::EscapeText(report.port()) + " now?";
        const bool confirmed = Confirm(question.c_str());
        if (const int number = SignalBeforeTransfer()) return EndBeforeTransfer(report, number);
        if (!confirmed) {
            report.Error("Not confirmed; nothing was sent.", "", kExitFailed);
            return kExitFailed;
        }
    }

    FirmwareImage image{};
    const bool haveImage = LoadFirmwareImage(kFirmwareResourceId, &image);
    Record record(options, report);
    record.serial = answer.serial ? serial : "";
    record.version = version;
    record.checksum = haveImage ? ImageCrc32Text(image) : "00000000";
    record.imageBytes = haveImage ? image.length : 0;
    record.blocks = haveImage ? BlockCount(image) : 0;

    CTerminalHost host(report, !options.ignorePower, &Record::Start, &record);
    host.blocks_ = record.blocks;
    const TransferResult result = RunTransfer(&host, &host, &host.stop_);
    const TransferOutcome outcome = result.outcome;
    host.Settle();
    *stopHeld = host.stopHeld();
    if (outcome == TransferOutcome::Refused) {
        // A signal during the host's checks: nothing was sent, and a started line says so.
        int number = host.refusedBy_;
        if (number == 0) number = SignalBeforeTransfer();
        if (number != 0) {
            if (record.startLogged) record.Finish("refused", 0, 0, 0);
            return EndBeforeTransfer(report, number);
        }
        return host.lowPower_ ? kExitLowPower : kExitUsage;
    }
    std::string message = result.reason;
    if (outcome == TransferOutcome::NoImage)
        message = "This program carries no firmware image it can send (" + message +
                  "); nothing was sent.";

    const char* word = "complete";
    int status = kExitComplete;
    switch (outcome) {
        case TransferOutcome::Complete:
            break;
        case TransferOutcome::Failed:
            word = "failed";
            status = kExitFailed;
            break;
        case TransferOutcome::Stopped:
            word = "interrupted";
            status = kExitInterrupted;
            break;
        case TransferOutcome::NoImage:
        case TransferOutcome::Refused:
            word = "no-image";
            status = kExitFailed;
            break;
    }
    const DWORD blocks = record.blocks;
    report.Outcome(word, message, host.sent_, host.acknowledged_, blocks, status);
    if (outcome == TransferOutcome::Stopped && !options.json) {
        report.Say(
            "Interrupted: the board holds an incomplete image. Upgrade it again before use.");
    }

    // The board may be upgraded, but nobody can tell from the log: that is not a success.
    if (!record.Finish(word, host.sent_, host.acknowledged_, report.transferSeconds()) &&
        status == kExitComplete)
        status = kExitNotRecorded;
    return status;
}

}  // namespace

int FlashOneBoard(const FlashOptions& options) {
    g_hSignals = platform::CatchSignals({SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1});
    bool stopHeld = false;
    const int status = FlashBoard(options, &stopHeld);  // every way out of it closes the port
    // A Ctrl-Z held through the transfer, or pressed since, stops the program now, with the
    // port closed and free for the next run; a SIGCONT then lets it end.
    platform::CaughtSignal caught;
    stopHeld = platform::TakeCaughtSignal(SIGTSTP, &caught) || stopHeld;
    platform::RestoreSignal(SIGTSTP);
    std::signal(SIGTTOU, SIG_DFL);
    if (stopHeld) ::raise(SIGTSTP);
    if (status > 128 && status != kExitInterrupted) {
        // A signal that ends the program as it always has, now that the port is closed.
        platform::CloseTrace();
        FlushOutputAtExit();
        platform::RestoreSignal(status - 128);
        ::raise(status - 128);
    }
    return status;
}

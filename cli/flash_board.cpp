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
#include "link/device_link.h"
#include "platform/host_facts.h"
#include "platform/host_signals.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "platform/wincore.h"
#include "transport/link_worker.h"
#include "transport/port_discovery.h"
#include "transport/serial_transport.h"
#include "upgrade/firmware_transfer.h"
#include "upgrade/host_guard.h"
#include "upgrade/image_checksum.h"

namespace {

// The window's start-up pauses: the port settles, then the board has this long to answer.
constexpr DWORD kSettleMs = 4000;
constexpr DWORD kAnswerMs = 4000;
constexpr DWORD kReplySliceMs = 50;
constexpr DWORD kWorkerStopMs = 2000;
constexpr char kDefaultVersion[] = "0.00";  // what the device link holds before a reply
constexpr char kDefaultSerial[] = "XXXXXX";

// Signals are only noted by their handler (platform/host_signals.h) and acted on here. Before
// the transfer nothing has been sent: Ctrl-C ends the program with status 130, SIGTERM, SIGHUP
// and SIGQUIT end it by that signal, as they always have, but only once the port is closed.
// From the first block to the verdict the board's image is incomplete, so SIGTERM, SIGHUP,
// SIGQUIT and Ctrl-Z are held until the verdict and one Ctrl-C only warns; a second within 5 s
// stops after the block in flight. SIGUSR1 is --all's parent deciding for its children: stop now.
constexpr DWORD kSecondInterruptMs = 5000;
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

// The start-up pauses end early when a signal arrives.
void Pause(HANDLE object, DWORD milliseconds) {
    const HANDLE objects[2] = {object, g_hSignals};
    WaitForMultipleObjects(g_hSignals != nullptr ? 2 : 1, objects, FALSE, milliseconds);
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += static_cast<char>(c & 0xFF);
    return out;
}

// The last text the layers below raised through the platform's message box.
std::string LastMessage() {
    const std::vector<std::u16string> messages = platform::TakeRecordedMessages();
    return messages.empty() ? std::string() : Narrow(messages.back());
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

// Waits for the version reply and the serial reply the device link asks for in answer to it,
// ending as soon as both are in. The reply events are pulses, so a text that has changed also
// counts: a pulse that came between two waits is not lost that way.
void WaitForBoard(bool* versionSeen, bool* serialSeen) {
    const DWORD start = GetTickCount();
    for (;;) {
        char text[32];
        g_DeviceLink.GetVersion(text, sizeof text);
        if (std::strcmp(text, kDefaultVersion) != 0) *versionSeen = true;
        g_DeviceLink.GetSerial(text, sizeof text);
        if (std::strcmp(text, kDefaultSerial) != 0) *serialSeen = true;
        if (*serialSeen) {
            *versionSeen = true;  // the serial query only goes out in answer to the version
            return;
        }
        if (platform::CaughtSignalPending()) return;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= kAnswerMs) return;
        const DWORD slice =
            kAnswerMs - elapsed < kReplySliceMs ? kAnswerMs - elapsed : kReplySliceMs;
        const BYTE command = *versionSeen ? kCmdSerial : kCmdVersion;
        const HANDLE objects[2] = {g_DeviceLink.m_hReply[command], g_hSignals};
        if (WaitForMultipleObjects(g_hSignals != nullptr ? 2 : 1, objects, FALSE, slice) ==
            WAIT_OBJECT_0)
            (*versionSeen ? *serialSeen : *versionSeen) = true;
    }
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
    // and nothing has been sent yet: a signal that came meanwhile refuses the transfer.
    bool BeginTransfer() override {
        // One deadline for both bus checks; the started line's wait for the log (another board
        // holding it) does not count against the lock's share.
        platform::BusDeadline deadline = HostCheckDeadline();
        if (checkPower_ && HostBatteryTooLow(deadline)) {
            lowPower_ = true;
            report_.Error(kBatteryTooLow,
                          "The computer runs on its battery; a flat battery during the upgrade "
                          "may disable the instrument. Nothing was sent. --ignore-power starts "
                          "anyway.",
                          kExitLowPower);
            return false;
        }
        if (SignalledBeforeFirstBlock()) return false;
        const platform::BusDeadline beforeRecord = platform::BusDeadlineAfter(0);
        if (!onStart_(context_)) return false;  // the record's first line
        deadline += platform::BusDeadlineAfter(0) - beforeRecord;
        if (SignalledBeforeFirstBlock()) return false;
        std::string why;
        std::string narrowed;
        if (!locks_.Take(deadline, &why, &narrowed)) {
            report_.Warning(
                "this computer could not be kept from sleeping or shutting down "
                "during the upgrade (" +
                why + "); keep it awake and on mains power.");
        } else if (!narrowed.empty()) {
            report_.Warning(narrowed);
        }
        return true;
    }

    // The last look before block 0. From here on a stopped process would stop the line: Ctrl-Z
    // waits for the verdict, and so does a write to the terminal from the background.
    bool ReadyForFirstBlock() override {
        platform::CatchSignals({SIGTSTP});
        std::signal(SIGTTOU, SIG_IGN);
        if (SignalledBeforeFirstBlock()) return false;
        report_.TransferStarted(blocks_);
        return true;
    }

    void EndTransfer(TransferOutcome) override { locks_.Release(); }

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
    // Takes the signals caught so far, before anything was sent: any but Ctrl-Z refuses the
    // transfer (Ctrl-Z, caught only at the last look, is held as during the transfer).
    bool SignalledBeforeFirstBlock() {
        platform::CaughtSignal s;
        while (platform::TakeCaughtSignal(&s)) {
            if (s.number == SIGTSTP) {
                stopHeld_ = true;
            } else if (refusedBy_ == 0 || s.number != SIGINT) {
                refusedBy_ = s.number;
            }
        }
        return refusedBy_ != 0;
    }

    void TakeSignals() {
        platform::CaughtSignal s;
        while (platform::TakeCaughtSignal(&s)) {
            if (s.number == SIGUSR1) {
                stop_.store(true);
            } else if (s.number == SIGINT) {
                const bool twice = s.count >= 2 && s.lastTick - s.firstTick <= kSecondInterruptMs;
                const bool again = warned_ && s.firstTick - warnedTick_ <= kSecondInterruptMs;
                if (twice || again) {
                    stop_.store(true);
                } else {
                    warned_ = true;
                    warnedTick_ = s.lastTick;
                    report_.Warning(kInterruptWarning);
                }
            } else if (s.number == SIGTSTP) {
                stopHeld_ = true;
                Held("Ctrl-Z");
            } else {
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
    CUpgradeLocks locks_;
    bool warned_ = false;
    DWORD warnedTick_ = 0;
    bool heldSaid_ = false;
    bool stopHeld_ = false;
};

// The link the window brings up, brought down again in the order main's exit path uses.
struct LinkSession {
    CSerialTransport* transport = nullptr;
    HANDLE worker = nullptr;
    ~LinkSession() {
        if (worker != nullptr && !StopLinkWorker(worker, kWorkerStopMs)) {
            // A worker that will not stop must not outlive the objects it uses.
            FlushOutputAtExit();
            ::_exit(kExitFailed);
        }
        if (transport != nullptr) {
            SetEvent(g_hTransportStop.load());  // nothing is left in flight to wait for
            delete transport;
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
        // "New Version: V4.02.N.01" names the version this program carries.
        const char* newVersion = std::strchr(kNewVersionText, ':') + 2;
        JsonLine line;
        AddIdentity(line.Text("upgrade_id", id).Text("port", report.port()), report.identity());
        return line.Text("serial", serial)
            .Text("old_version", version)
            .Text("new_version", newVersion)
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
    platform::TakeRecordedMessages();

    LinkSession link;
    link.transport = new CSerialTransport;  // finds, opens and configures the port
    const DWORD openError = GetLastError();
    report.SetPort(g_szPortName);
    const std::string device = DevicePathOf(g_szPortName);
    if (g_hPort.load() == INVALID_HANDLE_VALUE) {
        const std::string message = LastMessage();
        const std::string detail =
            message == "Could not SetCommState"
                ? device +
                      " refused the line settings (38400 baud, 8 data bits, no parity, "
                      "1 stop bit)."
                : ExplainOpenFailure(device, SystemText(openError));
        report.Error(message.empty() ? "Cannot Open Connection To Board." : message, detail,
                     kExitNoPort);
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

    // The window's start-up, with its second pause cut short once the board has answered.
    HANDLE pause = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Pause(pause, kSettleMs);
    CloseHandle(pause);
    if (const int number = SignalBeforeTransfer()) return EndBeforeTransfer(report, number);
    link.worker = CreateThread(nullptr, 0, LinkWorker, nullptr, CREATE_SUSPENDED, nullptr);
    ResumeThread(link.worker);
    g_DeviceLink.SendCommand(kCmdVersion, nullptr, 0);
    bool versionSeen = false;
    bool serialSeen = false;
    WaitForBoard(&versionSeen, &serialSeen);
    if (const int number = SignalBeforeTransfer()) return EndBeforeTransfer(report, number);
    if (!versionSeen) {
        report.Error("No board answered on " + report.port() + ".",
                     "Check the cable, that the instrument is switched on, and the port.",
                     kExitNoAnswer);
        return kExitNoAnswer;
    }
    char version[32];
    char serial[32];
    g_DeviceLink.GetVersion(version, sizeof version);
    g_DeviceLink.GetSerial(serial, sizeof serial);
    report.Board(version, serial, serialSeen);
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
    record.serial = serialSeen ? serial : "";
    record.version = version;
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "%08X",
                  haveImage ? Crc32(image.bytes, image.length) : 0u);
    record.checksum = checksum;
    record.imageBytes = haveImage ? image.length : 0;
    record.blocks = haveImage ? BlockCount(image) : 0;

    CTerminalHost host(report, !options.ignorePower, &Record::Start, &record);
    host.blocks_ = record.blocks;
    const TransferOutcome outcome = RunTransfer(&host, &host, &host.stop_);
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
    std::string message = LastMessage();
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
        FlushOutputAtExit();
        platform::RestoreSignal(status - 128);
        ::raise(status - 128);
    }
    return status;
}

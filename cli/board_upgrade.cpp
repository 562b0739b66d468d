#include "cli/board_upgrade.h"

#include <signal.h>

#include <atomic>
#include <csignal>
#include <string>
#include <vector>

#include "cli/board_history.h"
#include "cli/flash_log.h"
#include "cli/json_line.h"
#include "cli/result_hook.h"
#include "cli/second_interrupt.h"
#include "platform/host_signals.h"
#include "platform/text.h"
#include "platform/trace.h"
#include "transport/link_session.h"
#include "upgrade/carried_firmware.h"
#include "upgrade/firmware_transfer.h"
#include "upgrade/host_guard.h"

namespace {

// How long a failed board has to answer before another attempt starts.
constexpr DWORD kRetryAnswerMs = 4000;

constexpr char kInterruptWarning[] =
    "Stopping now leaves the board with an incomplete image. Press Ctrl-C again within 5 s to "
    "stop after the block in flight.";
constexpr char kAdapterGone[] =
    "The adapter was unplugged during the transfer: the board holds an incomplete image.";

// The transfer's two interfaces for a terminal: there is no LOAD button, and the progress is
// counted in blocks rather than drawn as a bar position. Between blocks it looks at the signals
// that came (a flag read, nothing more unless one did).
class CTerminalHost final : public ITransferView, public IProgressSink {
public:
    using StartHook = bool (*)(void* context);
    CTerminalHost(CFlashReport& report, bool checkPower, SignalRule rule, StartHook onStart,
                  void* context)
        : report_(report),
          checkPower_(checkPower),
          rule_(rule),
          onStart_(onStart),
          context_(context) {}
    void EnableLoad(BOOL) override {}
    void ReportLastSystemError() override { ::ReportLastSystemError(); }
    void SetPosition(int) override {}

    // Each host call may block for a while (a slow bus, a log file locked by another board),
    // and nothing has been sent yet: a signal that came meanwhile refuses the transfer. The
    // record's started line goes between the battery and the lock, and its wait for the log
    // (another board holding it) is not charged to the lock's share of the deadline.
    bool BeginTransfer() override {
        sent_ = 0;
        acknowledged_ = 0;
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
            SignalledBeforeFirstBlock();  // the signal that refused it, for the caller's way out
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

    // After a verdict: what came during the transfer is taken. Ctrl-Z stays caught until the
    // port is closed, so a stopped program never holds it.
    void Settle() {
        if (platform::CaughtSignalPending()) TakeSignals();
    }

    DWORD blocks_ = 0;
    DWORD sent_ = 0;
    DWORD acknowledged_ = 0;
    bool lowPower_ = false;
    int refusedBy_ = 0;  // the signal that came before block 0, which was then not sent
    bool stopHeld_ = false;
    bool finishing_ = false;
    bool gone_ = false;
    std::atomic<bool> stop_{false};

private:
    // Takes the signals caught so far, before anything was sent: any refuses the transfer
    // (Ctrl-Z is not caught until the last look has found none).
    bool SignalledBeforeFirstBlock() {
        platform::CaughtSignal s;
        while (platform::TakeCaughtSignal(&s)) {
            if (s.number == SIGUSR2) gone_ = true;
            if (s.number == SIGTERM) finishing_ = true;
            if (refusedBy_ == 0 || s.number != SIGINT) refusedBy_ = s.number;
        }
        return refusedBy_ != 0;
    }

    void TakeSignals() {
        platform::CaughtSignal s;
        while (platform::TakeCaughtSignal(&s)) {
            if (s.number == SIGUSR1) {
                stop_.store(true);
            } else if (s.number == SIGUSR2) {
                gone_ = true;
                stop_.store(true);
            } else if (s.number == SIGINT) {
                if (interrupts_.Stops(s)) {
                    stop_.store(true);
                } else {
                    report_.Warning(kInterruptWarning);
                }
            } else if (s.number == SIGTERM && rule_ == SignalRule::Socket) {
                finishing_ = true;  // this board goes on; the station has said so
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
    SignalRule rule_;
    StartHook onStart_;
    void* context_;
    CHostGuard guard_;
    CSecondInterrupt interrupts_;
    bool heldSaid_ = false;
};

// What the record's two lines share, and the started line itself, written before the first block.
struct Record {
    Record(const FlashOptions& o, CFlashReport& r) : options(o), report(r) {}
    const FlashOptions& options;
    CFlashReport& report;
    std::string id = NewUpgradeId();
    int attempt = 1;
    std::string started;
    std::string serial;
    std::string version;
    std::string checksum;
    DWORD imageBytes = 0;
    DWORD blocks = 0;
    bool startLogged = false;  // this attempt's started line is in the log: it must get its outcome

    JsonLine Common() const {
        JsonLine line;
        AddIdentity(line.Text("upgrade_id", id).Text("port", report.port()), report.identity());
        return line.Text("serial", serial)
            .Text("old_version", version)
            .Text("new_version", CarriedVersion())
            .Text("image_crc32", checksum)
            .Number("image_bytes", imageBytes)
            .Number("attempt", attempt);
    }

    // Called at the first block's door: an upgrade whose start cannot be recorded is not begun,
    // and one that has begun is in the log even if the process is killed before its verdict.
    static bool Start(void* context) {
        Record& r = *static_cast<Record*>(context);
        r.started = UtcTimestamp();
        r.startLogged = false;
        if (r.options.log.empty()) return true;
        std::string error;
        const std::string line = r.Common()
                                     .Text("outcome", "started")
                                     .Number("blocks", r.blocks)
                                     .Text("start", r.started)
                                     .Finish();
        if (!AppendFlashLog(r.options.log, line, &error)) {
            r.report.Error("Could not record the upgrade; nothing was sent.", error, kExitUsage);
            return false;
        }
        r.startLogged = true;
        return true;
    }

    // The outcome line. False (with the reason said) when it could not be written.
    bool Finish(const char* word, DWORD sent, DWORD acknowledged, double seconds,
                const char* cause = nullptr) {
        if (options.log.empty()) return true;
        if (started.empty()) started = UtcTimestamp();  // never began
        JsonLine line = Common()
                            .Text("outcome", word)
                            .Number("blocks_sent", sent)
                            .Number("blocks_acknowledged", acknowledged)
                            .Number("blocks", blocks)
                            .Text("start", started)
                            .Number("duration", seconds, 3);
        if (cause != nullptr) line.Text("cause", cause);
        std::string error;
        if (AppendFlashLog(options.log, line.Finish(), &error)) return true;
        report.Warning("could not record this upgrade's outcome: " + error);
        return false;
    }
};

}  // namespace

UpgradeResult UpgradeBoard(const FlashOptions& options, CFlashReport& report, CLinkSession& session,
                           const BoardFacts& board, SignalRule rule, HANDLE signals) {
    FirmwareImage image{};
    const bool haveImage = LoadFirmwareImage(kFirmwareResourceId, &image);
    Record record(options, report);
    record.serial = board.serial;
    record.version = board.version;
    record.checksum = haveImage ? ImageCrc32Text(image) : "00000000";
    record.imageBytes = haveImage ? image.length : 0;
    record.blocks = haveImage ? BlockCount(image) : 0;

    UpgradeResult out;
    out.upgradeId = record.id;
    CTerminalHost host(report, !options.ignorePower, rule, &Record::Start, &record);
    host.blocks_ = record.blocks;
    for (;;) {
        ++out.attempts;
        record.attempt = out.attempts;
        const TransferResult result = RunTransfer(&host, &host, &host.stop_);
        host.Settle();
        out.stopHeld = out.stopHeld || host.stopHeld_;
        out.finishing = out.finishing || host.finishing_;
        out.adapterGone = out.adapterGone || host.gone_;
        const TransferOutcome outcome = result.outcome;
        if (outcome == TransferOutcome::Refused) {
            // A signal during the host's checks: nothing was sent, and a started line says so.
            if (record.startLogged) record.Finish("refused", 0, 0, 0);
            if (out.attempts == 1) {
                out.refusedBy = host.refusedBy_;
                out.status = host.lowPower_ ? kExitLowPower : kExitUsage;
            }
            return out;  // a later attempt keeps the verdict of the one before
        }
        std::string message = result.reason;
        const char* cause = nullptr;
        out.word = "complete";
        out.status = kExitComplete;
        switch (outcome) {
            case TransferOutcome::Complete:
                break;
            case TransferOutcome::Failed:
                out.word = "failed";
                out.status = kExitFailed;
                break;
            case TransferOutcome::Stopped:
                // Pulled out from under the transfer, the board is as a failed one; stopped
                // on purpose, it was interrupted.
                out.word = host.gone_ ? "failed" : "interrupted";
                out.status = host.gone_ ? kExitFailed : kExitInterrupted;
                if (host.gone_) {
                    message = kAdapterGone;
                    cause = "adapter-gone";
                }
                break;
            case TransferOutcome::NoImage:
            case TransferOutcome::Refused:
                message = "This program carries no firmware image it can send (" + message +
                          "); nothing was sent.";
                out.word = "no-image";
                out.status = kExitFailed;
                break;
        }
        report.Outcome(out.word, message, host.sent_, host.acknowledged_, record.blocks,
                       out.status);
        if (outcome == TransferOutcome::Stopped && !host.gone_ && !options.json) {
            report.Say(
                "Interrupted: the board holds an incomplete image. Upgrade it again before use.");
        }
        // The board may be upgraded, but nobody can tell from the log: that is not a success.
        if (!record.Finish(out.word, host.sent_, host.acknowledged_, report.transferSeconds(),
                           cause) &&
            out.status == kExitComplete)
            out.status = kExitNotRecorded;

        // Another attempt only for a transfer that failed by itself, with the board still
        // there: never a block resent, always from block 0 (an acknowledgement names no block).
        if (outcome != TransferOutcome::Failed || out.attempts > options.retries || out.finishing ||
            host.stop_.load())
            return out;
        const BoardAnswer answer = session.Query(ReplyWait::UntilAnswered, signals, kRetryAnswerMs);
        host.Settle();
        out.finishing = out.finishing || host.finishing_;
        out.adapterGone = out.adapterGone || host.gone_;
        if (!answer.version || out.finishing || host.stop_.load()) {
            if (!answer.version)
                report.Warning("The board did not answer again: no more attempts.");
            return out;
        }
        report.Warning("Attempt " + std::to_string(out.attempts + 1) + " of " +
                       std::to_string(options.retries + 1) + ", from the first block.");
    }
}

void RunOnResult(const FlashOptions& options, CFlashReport& report, const BoardFacts& board,
                 const char* outcome, int status, const std::string& upgradeId) {
    if (options.onResult.empty()) return;
    const AdapterIdentity& adapter = report.identity();
    // Board texts as the screen shows them: a hook must not be handed escape sequences.
    const std::vector<HookVariable> variables{
        {"VANTRA_OUTCOME", outcome},
        {"VANTRA_EXIT", std::to_string(status)},
        {"VANTRA_SERIAL", platform::EscapeText(board.serial)},
        {"VANTRA_OLD_VERSION", platform::EscapeText(board.version)},
        {"VANTRA_NEW_VERSION", CarriedVersion()},
        {"VANTRA_PORT", platform::EscapeText(report.port())},
        {"VANTRA_ADAPTER_PATH", platform::EscapeText(adapter.path)},
        {"VANTRA_ADAPTER_SERIAL", platform::EscapeText(adapter.serial)},
        {"VANTRA_UPGRADE_ID", upgradeId},
    };
    const HookRun run = RunResultHook(
        options.onResult, variables, kResultHookLimitMs,
        [&](const std::string& line) { report.Say("on-result: " + line); },
        platform::CaughtSignalsDescriptor());
    const std::string failure = DescribeHookRun(run);
    if (!failure.empty()) report.Warning("the --on-result command " + failure);
}

bool SayBoardHistory(const FlashOptions& options, CFlashReport& report, const BoardFacts& board,
                     std::string* completeOn) {
    if (options.log.empty()) return false;
    FirmwareImage image{};
    if (!LoadFirmwareImage(kFirmwareResourceId, &image)) return false;
    const BoardHistory history = LookUpBoard(options.log, board.serial, ImageCrc32Text(image));
    if (!history.unfinishedOn.empty()) {
        report.Warning("This board's upgrade of " + history.unfinishedOn +
                       " did not finish; it holds an incomplete image.");
    }
    if (history.completeOn.empty()) return false;
    if (completeOn != nullptr) *completeOn = history.completeOn;
    return true;
}

// One socket of a station, in a process of its own: the port opened and settled once, then
// board after board. Its standard output is read by the station (cli/station.cpp).
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "cli/board_upgrade.h"
#include "cli/flash_board.h"
#include "cli/station.h"
#include "link/device_link.h"
#include "platform/host_signals.h"

namespace {

// A board is waited for with a query at most this far apart; once upgraded, it has left when
// this many queries in a row, this far apart, go unanswered.
constexpr DWORD kAskEveryMs = 1000;
constexpr DWORD kLeftAskEveryMs = 400;
constexpr int kLeftAfterUnanswered = 3;

// What this socket's boards came to: its exit status.
struct Tally {
    bool failed = false;
    bool interrupted = false;
    int Status() const {
        return interrupted ? kExitInterrupted : failed ? kExitFailed : kExitComplete;
    }
};

// The station's word, taken at rest: any of them ends the socket (SIGUSR2: the adapter went).
bool StopAsked() {
    platform::CaughtSignal caught;
    bool stop = false;
    while (platform::TakeCaughtSignal(&caught)) stop = true;
    return stop;
}

// Waits `ms`, or until a signal comes.
void Pause(HANDLE signals, DWORD ms) {
    WaitForSingleObject(signals, ms);
}

class Socket {
public:
    Socket(const FlashOptions& options, HANDLE signals)
        : options_(options), signals_(signals), report_(true, ProgressStyle::None) {}

    int Run() {
        if (!NameChosenPort(options_)) return kExitUsage;
        TerminalLink link;
        if (const int failed = OpenBoardPort(report_, link.session)) return failed;
        link.session.Settle(signals_);
        if (StopAsked()) return tally_.Status();
        link.session.StartWorker();
        for (;;) {
            BoardFacts board;
            if (!AwaitBoard(link.session, &board)) return tally_.Status();
            if (!Upgrade(link.session, board)) return tally_.Status();
            if (!AwaitLeaving(link.session, board)) return tally_.Status();
        }
    }

private:
    // Asks until a board answers. False when the station stops the socket first.
    bool AwaitBoard(CLinkSession& session, BoardFacts* board) {
        report_.Emit(report_.Event("waiting"));
        // An unanswered query has waited its whole second: the next goes at once. An answer
        // goes to its upgrade at once, with no pause per board.
        for (;;) {
            const BoardAnswer answer =
                session.Query(ReplyWait::UntilAnswered, signals_, kAskEveryMs);
            if (StopAsked()) return false;
            if (answer.version) {
                *board = AnsweredBoard(report_, answer);
                return true;
            }
        }
    }

    // Skipped, or upgraded with its attempts, then the hook. False when the socket is to end.
    bool Upgrade(CLinkSession& session, const BoardFacts& board) {
        std::string doneOn;
        if (SayBoardHistory(options_, report_, board, &doneOn) && !options_.again) {
            report_.Emit(report_.Event("skipped")
                             .Text("serial", board.serial)
                             .Text("message", "already upgraded on " + doneOn));
            Verdict(board, "skipped", kExitComplete, "", 0);
            RunOnResult(options_, report_, board, "skipped", kExitComplete, "");
            return !StopAsked();
        }
        const UpgradeResult result =
            UpgradeBoard(options_, report_, session, board, SignalRule::Socket, signals_);
        if (result.word == nullptr) {
            // Nothing was sent: stopped by the station, or refused (said: a flat battery, a
            // record that cannot be written). Such a board is not done.
            if (result.refusedBy != 0) return false;
            Verdict(board, "refused", result.status, result.upgradeId, result.attempts);
            tally_.failed = true;
            return !StopAsked();
        }
        if (result.status == kExitInterrupted) tally_.interrupted = true;
        if (result.status != kExitComplete) tally_.failed = true;
        Verdict(board, result.word, result.status, result.upgradeId, result.attempts);
        RunOnResult(options_, report_, board, result.word, result.status, result.upgradeId);
        return !result.finishing && !result.adapterGone && result.status != kExitInterrupted &&
               !StopAsked();
    }

    void Verdict(const BoardFacts& board, const char* word, int status, const std::string& id,
                 int attempts) {
        report_.Emit(report_.Event("verdict")
                         .Text("outcome", word)
                         .Number("exit", status)
                         .Text("serial", board.serial)
                         .Text("upgrade_id", id)
                         .Number("attempts", attempts));
    }

    // Until the board stops answering, or another answers in its place. False when the
    // station stops the socket first.
    bool AwaitLeaving(CLinkSession& session, const BoardFacts& board) {
        int unanswered = 0;
        while (unanswered < kLeftAfterUnanswered) {
            const DWORD asked = GetTickCount();
            const BoardAnswer answer =
                session.Query(ReplyWait::UntilAnswered, signals_, kLeftAskEveryMs);
            if (StopAsked()) return false;
            if (!answer.version) {
                ++unanswered;
                continue;
            }
            unanswered = 0;
            char serial[32];
            g_DeviceLink.GetSerial(serial, sizeof serial);
            // Swapped quicker than the queries could tell: a board of another serial is new.
            if (answer.serial && !board.serial.empty() && board.serial != serial) break;
            const DWORD spent = GetTickCount() - asked;
            if (spent < kLeftAskEveryMs) Pause(signals_, kLeftAskEveryMs - spent);
            if (StopAsked()) return false;
        }
        report_.Emit(report_.Event("left").Text("serial", board.serial));
        return true;
    }

    const FlashOptions& options_;
    HANDLE signals_;
    CFlashReport report_;
    Tally tally_;
};

}  // namespace

int RunStationSocket(const FlashOptions& options) {
    // The station decides for its sockets: SIGUSR1 stops now (after the block in flight),
    // SIGTERM finishes this board first, SIGUSR2 says the adapter went.
    const HANDLE signals =
        platform::CatchSignals({SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2});
    std::signal(SIGPIPE, SIG_IGN);
    return Socket(options, signals).Run();
}

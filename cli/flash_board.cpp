#include "cli/flash_board.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/flash_report.h"
#include "cli/port_holders.h"
#include "link/device_link.h"
#include "platform/host_facts.h"
#include "platform/host_signals.h"
#include "platform/text.h"
#include "platform/trace.h"
#include "platform/wincore.h"
#include "transport/link_session.h"
#include "transport/port_discovery.h"

namespace {

constexpr DWORD kWorkerStopMs = 2000;

// Signals are only noted by their handler (platform/host_signals.h) and acted on here. Before
// the transfer nothing has been sent: Ctrl-C ends the program with status 130, SIGTERM, SIGHUP
// and SIGQUIT end it by that signal, as they always have, but only once the port is closed.
// From the first block to the verdict the board's image is incomplete, so SIGTERM, SIGHUP,
// SIGQUIT and Ctrl-Z are held until the verdict and one Ctrl-C only warns; a second within 5 s
// stops after the block in flight (cli/second_interrupt.h). SIGUSR1 is --all's parent deciding
// for its children: stop now. During the transfer cli/board_upgrade.cpp reads them.
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

}  // namespace

TerminalLink::~TerminalLink() {
    if (!session.Close(kWorkerStopMs)) {
        platform::CloseTrace();
        FlushOutputAtExit();
        ::_exit(kExitFailed);
    }
}

bool Confirm(const char* question) {
    WriteAll(STDERR_FILENO, std::string(question) + " [y/N] ");
    if (!FlushOutput()) return false;  // a signal came first: the caller takes it
    std::string answer;
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) == 1 && c != '\n') answer += c;
    if (!::isatty(STDIN_FILENO)) WriteAll(STDERR_FILENO, answer + "\n");
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

int OpenBoardPort(CFlashReport& report, CLinkSession& session) {
    const PortOpenResult open = session.Open();
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
    return 0;
}

BoardFacts AnsweredBoard(CFlashReport& report, const BoardAnswer& answer) {
    char version[32];
    char serial[32];
    g_DeviceLink.GetVersion(version, sizeof version);
    g_DeviceLink.GetSerial(serial, sizeof serial);
    report.Board(version, serial, answer.serial);
    return BoardFacts{version, answer.serial ? serial : ""};
}

namespace {

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
    if (const int failed = OpenBoardPort(report, link.session)) return failed;

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
    const BoardFacts board = AnsweredBoard(report, answer);
    // Whoever is asked sees the warning first; a wrapper that answered with --yes has its events.
    if (!options.json || !options.yes) report.Announce();
    SayBoardHistory(options, report, board);

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

    const UpgradeResult result =
        UpgradeBoard(options, report, link.session, board, SignalRule::Terminal, g_hSignals);
    *stopHeld = result.stopHeld;
    if (result.word == nullptr) {
        // Refused before block 0: by a signal, else the host has said why.
        int number = result.refusedBy;
        if (number == 0) number = SignalBeforeTransfer();
        if (number != 0) return EndBeforeTransfer(report, number);
        return result.status;
    }
    RunOnResult(options, report, board, result.word, result.status, result.upgradeId);
    return result.status;
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

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
#include "platform/message_box.h"
#include "platform/wincore.h"
#include "transport/link_worker.h"
#include "transport/port_discovery.h"
#include "transport/serial_transport.h"
#include "upgrade/firmware_transfer.h"
#include "upgrade/image_checksum.h"

namespace {

// The window's start-up pauses: the port settles, then the board has this long to answer.
constexpr DWORD kSettleMs = 4000;
constexpr DWORD kAnswerMs = 4000;
constexpr DWORD kReplySliceMs = 50;
constexpr DWORD kWorkerStopMs = 2000;
constexpr char kDefaultVersion[] = "0.00";  // what the device link holds before a reply
constexpr char kDefaultSerial[] = "XXXXXX";

// Ctrl-C: before the transfer nothing has been sent, so the process ends at once; during it,
// the transfer is asked to stop after the block in flight, which keeps the board's last block
// whole and lets the outcome be reported and recorded.
std::atomic<bool> g_bTransferring{false};
std::atomic<bool> g_bStopRequested{false};

void OnInterrupt(int) {
    if (g_bTransferring.load()) {
        g_bStopRequested.store(true);
        return;
    }
    static const char kText[] = "Interrupted; nothing was sent to the board.\n";
    const ssize_t ignored = ::write(STDERR_FILENO, kText, sizeof kText - 1);
    (void)ignored;
    ::_exit(kExitInterrupted);
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
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= kAnswerMs) return;
        const DWORD slice =
            kAnswerMs - elapsed < kReplySliceMs ? kAnswerMs - elapsed : kReplySliceMs;
        const BYTE command = *versionSeen ? kCmdSerial : kCmdVersion;
        if (WaitForSingleObject(g_DeviceLink.m_hReply[command], slice) == WAIT_OBJECT_0)
            (*versionSeen ? *serialSeen : *versionSeen) = true;
    }
}

// The transfer's two interfaces for a terminal: there is no LOAD button, and the progress is
// counted in blocks rather than drawn as a bar position.
class CTerminalHost final : public ITransferView, public IProgressSink {
public:
    explicit CTerminalHost(CFlashReport& report) : report_(report) {}
    void EnableLoad(BOOL) override {}
    void ReportLastSystemError() override { ::ReportLastSystemError(); }
    void SetPosition(int) override {}
    void OnBlockDone(DWORD index, DWORD count, bool acknowledged) override {
        sent_ = index + 1;
        if (acknowledged) acknowledged_ = index + 1;
        report_.Progress(index, count, acknowledged);
    }

    DWORD sent_ = 0;
    DWORD acknowledged_ = 0;

private:
    CFlashReport& report_;
};

// The link the window brings up, brought down again in the order main's exit path uses.
struct LinkSession {
    CSerialTransport* transport = nullptr;
    HANDLE worker = nullptr;
    ~LinkSession() {
        if (worker != nullptr && !StopLinkWorker(worker, kWorkerStopMs)) {
            // A worker that will not stop must not outlive the objects it uses.
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
    std::string answer;
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) == 1 && c != '\n') answer += c;
    if (!::isatty(STDIN_FILENO)) WriteAll(STDERR_FILENO, answer + "\n");
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

int FlashOneBoard(const FlashOptions& options) {
    CFlashReport report(options.json, options.json                   ? ProgressStyle::None
                                      : ::isatty(STDERR_FILENO) != 0 ? ProgressStyle::Bar
                                                                     : ProgressStyle::Lines);
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a reader gone away must not end a transfer

    // The port named on the command line (or in VANTRA_PORT) goes ahead of discovery, as it
    // does for the window; the options have already refused a name too long to hold.
    if (!options.port.empty()) {
        SetNamedPort(options.port.c_str(), "--port");
    } else if (const char* env = std::getenv("VANTRA_PORT"); env != nullptr && *env != 0) {
        if (!SetNamedPort(env, "VANTRA_PORT")) {
            WriteAll(STDERR_FILENO, "vantra-flash: VANTRA_PORT: device name too long\n");
            return kExitUsage;
        }
    }
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
    report.PortOpened();
    const std::vector<PortHolder> others = FindPortHolders(device);
    if (!others.empty()) report.SharedPort(DescribeHolders(others));

    // The window's start-up, with its second pause cut short once the board has answered.
    HANDLE pause = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(pause, kSettleMs);
    CloseHandle(pause);
    link.worker = CreateThread(nullptr, 0, LinkWorker, nullptr, CREATE_SUSPENDED, nullptr);
    ResumeThread(link.worker);
    g_DeviceLink.SendCommand(kCmdVersion, nullptr, 0);
    bool versionSeen = false;
    bool serialSeen = false;
    WaitForBoard(&versionSeen, &serialSeen);
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

    if (!options.yes && !Confirm(("Upgrade the board on " + report.port() + " now?").c_str())) {
        report.Error("Not confirmed; nothing was sent.", "", kExitFailed);
        return kExitFailed;
    }

    FirmwareImage image{};
    const bool haveImage = LoadFirmwareImage(kFirmwareResourceId, &image);
    const std::string started = UtcTimestamp();
    CTerminalHost host(report);
    g_bTransferring.store(true);
    report.TransferStarted(haveImage ? BlockCount(image) : 0);
    const TransferOutcome outcome = RunTransfer(&host, &host, &g_bStopRequested);
    const std::string message = LastMessage();

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
            word = "no-image";
            status = kExitFailed;
            break;
    }
    const DWORD blocks = haveImage ? BlockCount(image) : 0;
    report.Outcome(word, message, host.sent_, host.acknowledged_, blocks, status);
    if (outcome == TransferOutcome::Stopped && !options.json) {
        report.Say(
            "Interrupted: the board holds an incomplete image. Upgrade it again before use.");
    }

    if (!options.log.empty()) {
        char checksum[16];
        std::snprintf(checksum, sizeof checksum, "%08X",
                      haveImage ? Crc32(image.bytes, image.length) : 0u);
        // "New Version: V4.02.N.01" names the version this program carries.
        const char* newVersion = std::strchr(kNewVersionText, ':') + 2;
        const std::string record = JsonLine()
                                       .Text("port", report.port())
                                       .Text("serial", serialSeen ? serial : "")
                                       .Text("old_version", version)
                                       .Text("new_version", newVersion)
                                       .Text("image_crc32", checksum)
                                       .Number("image_bytes", haveImage ? image.length : 0)
                                       .Text("outcome", word)
                                       .Number("blocks_sent", host.sent_)
                                       .Number("blocks_acknowledged", host.acknowledged_)
                                       .Number("blocks", blocks)
                                       .Text("start", started)
                                       .Number("duration", report.transferSeconds(), 3)
                                       .Finish();
        std::string error;
        if (!AppendFlashLog(options.log, record, &error))
            report.Say("vantra-flash: could not record this upgrade: " + error);
    }
    return status;
}

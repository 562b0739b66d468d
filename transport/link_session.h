// The link to the board, brought up and taken down in one order by both programs and the tests:
// the transport (the port found, opened and configured), a pause while the port and the board
// settle, the worker (started suspended, then resumed), the version query and the wait for the
// replies; and down again on every way out, so the port is closed before the program stops or
// exits and the next user can open it.
#pragma once

#include "platform/wincore.h"
#include "transport/port_discovery.h"

class CSerialTransport;

inline constexpr DWORD kPortSettleMs = 4000;
inline constexpr DWORD kReplyWaitMs = 4000;

// How long Query waits for the board's replies.
enum class ReplyWait {
    FullPause,      // all of kReplyWaitMs: the window's first paint shows what came by then
    UntilAnswered,  // until the version and the serial are in, or kReplyWaitMs
};

// Whether the board answered the version query, and the serial query sent in answer to it.
struct BoardAnswer {
    bool version = false;
    bool serial = false;
};

class CLinkSession {
public:
    CLinkSession() = default;
    CLinkSession(const CLinkSession&) = delete;
    CLinkSession& operator=(const CLinkSession&) = delete;
    // Whatever is still up goes, as Close takes it down.
    ~CLinkSession();

    // Bringing the link up, in this order; `interrupt` (a caught signal's handle, or null) ends
    // a pause as it comes. Open creates the transport, which tells the user when the port
    // cannot be opened; start-up may go on all the same, and the board then never answers.
    PortOpenResult Open();
    void Settle(HANDLE interrupt);
    // False when no thread could be made: nothing is read then, and every reply is missed.
    bool StartWorker();
    // Queues the version query (the device link asks for the serial in answer) and waits, up
    // to `limitMs` (a station asks again and again, and must hear a board leave).
    BoardAnswer Query(ReplyWait wait, HANDLE interrupt, DWORD limitMs = kReplyWaitMs);

    // Taking it down. ClosePort deletes the transport: its pause (up to 1 s), then the port
    // closed; the worker runs on, polling a closed port. ClosePortAtOnce skips the pause, for
    // when nothing is left in flight to wait for.
    void ClosePort();
    void ClosePortAtOnce();
    // True when the worker has ended within `timeoutMs`, or was never started.
    bool StopWorker(DWORD timeoutMs);
    // The worker stopped, then the port closed at once. False when the worker would not stop:
    // the port is then left to it, and the caller must end the process before static
    // destruction takes the objects it uses away.
    bool Close(DWORD timeoutMs);

    // The link worker as every program starts it: suspended, then resumed. Null when no thread
    // could be made. For tests of the worker alone; a program uses StartWorker.
    static HANDLE StartWorkerThread();

private:
    void Pause(DWORD milliseconds, HANDLE interrupt);

    CSerialTransport* m_transport = nullptr;
    HANDLE m_worker = nullptr;
    HANDLE m_pause = nullptr;  // never signalled: the pauses are timed waits on it
};

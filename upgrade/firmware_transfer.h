// The embedded firmware image and its block-by-block transfer to the board.
#pragma once

#include <atomic>
#include <string>

#include "link/device_link.h"
#include "platform/wintypes.h"

inline constexpr WORD kFirmwareResourceId = 144;
inline constexpr DWORD kWordsPerBlock = 64;  // the board addresses 16-bit words
inline constexpr DWORD kAcknowledgeTimeoutMs = 2000;
inline constexpr BYTE kErasedByte = 0xFF;  // what flash holds past the image's end

inline constexpr char kTransferComplete[] = "Transfer Complete.";
inline constexpr char kTransferFailed[] = "Transfer Failed. Sector did not write.";

// What the upgrade screen says before LOAD, in every host.
inline constexpr char kWarningText[] =
    "WARNING! You are about to upgrade the firmware for your Tovrin product. This process will "
    "take under 60 seconds. Make sure that the product is powered under A/C for the entire "
    "transfer. Any disruption before the transfer is complete may disable the product,  "
    "requiring a return to the factory.";
inline constexpr char kNewVersionText[] = "New Version: V4.02.N.01";

// Header at the start of a "FIRMWARE" resource, then `length` image bytes.
struct FirmwareImage {
    DWORD start;   // board word address of the first block
    DWORD length;  // image bytes
    const BYTE* bytes;
};

// Finds and checks the image resource. On failure the thread's last error says why (the
// resource is missing, shorter than its header claims, or the image is empty) and nothing is
// read.
bool LoadFirmwareImage(WORD resourceId, FirmwareImage* image);

// Block i of the image as it goes on the wire: always kBlockBytes bytes, erased bytes past the end.
void CopyBlock(const FirmwareImage& image, DWORD index, BYTE (&block)[kBlockBytes]);
DWORD BlockCount(const FirmwareImage& image);

// What the transfer touches on the upgrade view.
enum class TransferOutcome;

class ITransferView {
public:
    virtual void EnableLoad(BOOL enable) = 0;
    virtual void ReportLastSystemError() = 0;
    // Before the first block: the host asks what it must of the computer (its power, its
    // locks). False refuses the transfer: the host has said why, and nothing is sent.
    virtual bool BeginTransfer() { return true; }
    // Immediately before block 0, after BeginTransfer: the host's last chance to refuse (a
    // signal that came during its checks). False sends nothing.
    virtual bool ReadyForFirstBlock() { return true; }
    // The moment the verdict is known, before it is shown, and after a refusal (outcome
    // Refused): whatever BeginTransfer took goes.
    virtual void EndTransfer(TransferOutcome /*outcome*/) {}

protected:
    ~ITransferView() = default;
};

// The progress control; SetPosition returns after the control shows the new position. The
// position for an acknowledged block is set once the next block has been queued (or the transfer
// has ended), so that a repaint overlaps the next block's time on the line.
class IProgressSink {
public:
    virtual void SetPosition(int position) = 0;
    // Once the wait for block `index` (of `count`) has ended, acknowledged or not, before
    // SetPosition. For hosts that show more than the bar (rates, counts); the bar needs nothing.
    virtual void OnBlockDone(DWORD /*index*/, DWORD /*count*/, bool /*acknowledged*/) {}

protected:
    ~IProgressSink() = default;
};

enum class TransferOutcome {
    Complete,  // every block acknowledged
    Failed,    // a block went unacknowledged
    Stopped,   // the host asked to stop; shown as failed, since the board holds part of an image
    NoImage,   // nothing to send; the reason was reported instead of an outcome
    Refused,   // the host refused to start (BeginTransfer); nothing was sent, no outcome box
};

// What a transfer came to, for a host to act on without reading the texts it was shown.
struct TransferResult {
    TransferOutcome outcome;
    // For a person: the verdict the outcome box showed, or for NoImage the system's text for
    // why the image could not be loaded. Empty after a refusal: the host has said why.
    std::string reason;
};

// Sends the image, one acknowledged block at a time, and shows the outcome in a message box.
// Runs on the user-interface thread and returns when the outcome box is dismissed. When `stop`
// becomes true, no block is sent after the one in flight.
TransferResult RunTransfer(ITransferView* view, IProgressSink* progress,
                           const std::atomic<bool>* stop = nullptr);

// Shows the system's text for the calling thread's last error, with the information icon.
void ReportLastSystemError();

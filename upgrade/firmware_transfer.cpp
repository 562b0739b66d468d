#include "upgrade/firmware_transfer.h"

#include <cstring>
#include <string>
#include <utility>

#include "platform/message_box.h"
#include "platform/text.h"
#include "platform/trace.h"
#include "platform/wincore.h"

namespace {

DWORD ReadLe32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 |
           static_cast<DWORD>(p[2]) << 16 | static_cast<DWORD>(p[3]) << 24;
}

// The system's text for `code`, as ReportLastSystemError shows it.
std::u16string SystemText(DWORD code) {
    LPWSTR text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text),
        0, nullptr);
    std::u16string out = n != 0 ? std::u16string(text) : u"An unknown error occurred.";
    LocalFree(text);
    return out;
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (const char16_t c : text) out += static_cast<char>(c & 0xFF);
    return out;
}

void ShowText(const char* text, UINT type) {
    WCHAR wide[128];
    platform::WidenText(text, wide, sizeof wide / sizeof wide[0]);
    platform::ShowUserMessage(wide, type);
}

}  // namespace

bool LoadFirmwareImage(WORD resourceId, FirmwareImage* image) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(resourceId), u"FIRMWARE");
    if (found == nullptr) return false;  // FindResourceW set the reason
    const DWORD size = SizeofResource(nullptr, found);
    const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found)));
    // A header claiming more bytes than the resource holds would send whatever follows it; one
    // claiming none would be "sent" with nothing sent, and reported complete.
    if (bytes == nullptr || size < 8 || ReadLe32(bytes + 4) > size - 8 || ReadLe32(bytes + 4) == 0) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    image->start = ReadLe32(bytes);
    image->length = ReadLe32(bytes + 4);
    image->bytes = bytes + 8;
    return true;
}

DWORD BlockCount(const FirmwareImage& image) {
    return static_cast<DWORD>((static_cast<unsigned long long>(image.length) + kBlockBytes - 1) /
                              kBlockBytes);
}

void CopyBlock(const FirmwareImage& image, DWORD index, BYTE (&block)[kBlockBytes]) {
    const unsigned long long offset = static_cast<unsigned long long>(index) * kBlockBytes;
    DWORD available = 0;
    if (offset < image.length) {
        const unsigned long long left = image.length - offset;
        available = static_cast<DWORD>(left < kBlockBytes ? left : kBlockBytes);
        std::memcpy(block, image.bytes + offset, available);
    }
    std::memset(block + available, kErasedByte, kBlockBytes - available);
}

TransferResult RunTransfer(ITransferView* view, IProgressSink* progress,
                           const std::atomic<bool>* stop) {
    view->EnableLoad(FALSE);

    FirmwareImage image;
    if (!LoadFirmwareImage(kFirmwareResourceId, &image)) {
        // Nothing to send: say why and give LOAD back, without an outcome box.
        const DWORD error = GetLastError();
        platform::TraceText(platform::TraceKind::Verdict, Narrow(SystemText(error)), "no-image");
        view->ReportLastSystemError();
        view->EnableLoad(TRUE);
        return {TransferOutcome::NoImage, Narrow(SystemText(error))};
    }

    // The host's checks may take a while (a bus that is slow to answer); the last look, just
    // before block 0, is where a signal or a refusal still leaves the board untouched.
    g_DeviceLink.BeginTransfer();
    auto refuse = [&] {
        g_DeviceLink.EndTransfer();
        platform::TraceText(platform::TraceKind::Verdict, "nothing was sent", "refused",
                            {0, 0, LONGLONG{BlockCount(image)}});
        view->EndTransfer(TransferOutcome::Refused);
        view->EnableLoad(TRUE);
        return TransferResult{TransferOutcome::Refused, {}};
    };
    if (!view->BeginTransfer()) return refuse();
    // A board that has not yet read what the last, failed transfer sent gets nothing new: its
    // answer to that would be taken for block 0's. One that stays silent fails the transfer.
    const bool inStep = g_DeviceLink.Resync(kAcknowledgeTimeoutMs);
    if (inStep && !view->ReadyForFirstBlock()) return refuse();

    const DWORD blocks = inStep ? BlockCount(image) : 0;

    TransferOutcome outcome = inStep ? TransferOutcome::Complete : TransferOutcome::Failed;
    BYTE block[kBlockBytes];
    // An acknowledged block's position goes to the bar once the next block is queued (or the loop
    // has ended): the repaint then runs while that block crosses the line instead of holding it
    // back.
    int position = -1;
    DWORD sent = 0;
    DWORD acknowledged = 0;
    for (DWORD i = 0; i < blocks; ++i) {
        if (stop != nullptr && stop->load()) {
            outcome = TransferOutcome::Stopped;
            break;
        }
        CopyBlock(image, i, block);
        g_DeviceLink.SendSector(image.start + kWordsPerBlock * i, block);
        sent = i + 1;
        if (position >= 0) progress->SetPosition(std::exchange(position, -1));
        const BlockWait wait = g_DeviceLink.Blocks().Await(kAcknowledgeTimeoutMs);
        const bool ok = wait == BlockWait::Acknowledged;
        platform::Trace(platform::TraceKind::Block, {LONGLONG{i}, LONGLONG{blocks}},
                        ok                            ? "acknowledged"
                        : wait == BlockWait::TimedOut ? "timed-out"
                                                      : "stale");
        acknowledged += ok;
        progress->OnBlockDone(i, blocks, ok);
        if (!ok) {
            outcome = TransferOutcome::Failed;
            break;
        }
        // Each position is the share acknowledged before this block, except that the last
        // acknowledgement shows the whole: a finished transfer must not read 99.
        position = i + 1 == blocks
                       ? 100
                       : static_cast<int>(static_cast<unsigned long long>(i) * 100 / blocks);
    }
    if (position >= 0) progress->SetPosition(position);

    g_DeviceLink.EndTransfer();
    view->EndTransfer(outcome);
    const char* verdict =
        outcome == TransferOutcome::Complete ? kTransferComplete : kTransferFailed;
    platform::TraceText(platform::TraceKind::Verdict, verdict,
                        outcome == TransferOutcome::Complete  ? "complete"
                        : outcome == TransferOutcome::Stopped ? "stopped"
                        : inStep                              ? "failed"
                                                              : "failed-resync",
                        {LONGLONG{sent}, LONGLONG{acknowledged}, LONGLONG{BlockCount(image)}});
    ShowText(verdict, MB_OK);
    view->EnableLoad(TRUE);
    return {outcome, verdict};
}

void ReportLastSystemError() {
    platform::ShowUserMessage(SystemText(GetLastError()).c_str(), MB_ICONINFORMATION);
}

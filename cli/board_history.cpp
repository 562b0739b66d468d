#include "cli/board_history.h"

#include "cli/log_records.h"
#include "platform/text.h"

BoardHistory LookUpBoard(const std::string& path, const std::string& serial,
                         const std::string& crc32) {
    // Boards without a serial of their own are indistinguishable: no record speaks for them.
    if (serial.empty() || serial == kSerialPlaceholder) return {};
    BoardRecords board;
    std::size_t skipped = 0;
    std::string error;
    if (!ReadFlashRecords(
            path,
            [&](const FlashRecord& r) {
                if (r.serial == serial) board.Add(r);
            },
            &skipped, &error))
        return {};
    BoardHistory history;
    const FlashRecord* holding = board.Holding();
    if (holding == nullptr) return history;
    if (board.Unfinished()) {
        // A complete upgrade before it no longer says what the board holds.
        history.unfinishedOn = DescribeRecordTime(holding->start);
    } else if (holding->outcome == "complete" && holding->imageCrc32 == crc32) {
        history.completeOn = DescribeRecordTime(holding->start);
    }
    return history;
}

std::string DescribeRecordTime(const std::string& start) {
    if (!IsRecordTime(start)) return platform::EscapeText(start);
    return start.substr(0, 10) + " " + start.substr(11, 5) + " UTC";
}

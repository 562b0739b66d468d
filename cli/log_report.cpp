#include "cli/log_report.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "cli/board_history.h"
#include "cli/json_line.h"
#include "cli/log_records.h"
#include "cli/output_queue.h"
#include "platform/text.h"

namespace {

struct Day {
    int complete = 0;
    int failed = 0;
    int interrupted = 0;
    std::set<std::string> boards;
};

struct Incomplete {
    std::string serial;
    std::string why;  // unfinished, failed or interrupted
    const FlashRecord* record;
};

// A board's line: what it holds, or, when no upgrade ever sent it anything, its last attempt.
const FlashRecord& Shown(const BoardRecords& board) {
    return board.Holding() ? *board.Holding() : *board.Last();
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

int ReportFlashLog(const FlashOptions& options) {
    std::map<std::string, BoardRecords> boards;
    std::map<std::string, Day> days;
    std::size_t records = 0;
    std::size_t skipped = 0;
    std::string error;
    const bool read = ReadFlashRecords(
        options.report,
        [&](const FlashRecord& r) {
            ++records;
            const bool named = !r.serial.empty() && r.serial != kSerialPlaceholder;
            if (named) boards[r.serial].Add(r);
            Day& day = days[r.start.substr(0, 10)];
            if (named) day.boards.insert(r.serial);
            day.complete += r.outcome == "complete";
            day.failed += r.outcome == "failed";
            day.interrupted += r.outcome == "interrupted";
        },
        &skipped, &error);
    if (!read) {
        WriteAll(STDERR_FILENO, "vantra-flash: --report " + platform::EscapeText(error) + "\n");
        return kExitUsage;
    }

    std::vector<Incomplete> incomplete;
    for (const auto& [serial, board] : boards) {
        const FlashRecord* holding = board.Holding();
        if (holding == nullptr) continue;
        if (board.Unfinished()) {
            incomplete.push_back({serial, "unfinished", holding});
        } else if (holding->outcome == "failed" || holding->outcome == "interrupted") {
            incomplete.push_back({serial, holding->outcome, holding});
        }
    }

    if (options.json) {
        std::vector<std::string> boardItems;
        for (const auto& [serial, board] : boards) {
            const FlashRecord& r = Shown(board);
            boardItems.push_back(JsonLine()
                                     .Text("serial", serial)
                                     .Text("outcome", r.outcome)
                                     .Text("time", r.start)
                                     .Text("old_version", r.oldVersion)
                                     .Text("new_version", r.newVersion)
                                     .Text("image_crc32", r.imageCrc32)
                                     .Object());
        }
        std::vector<std::string> incompleteItems;
        for (const Incomplete& i : incomplete) {
            incompleteItems.push_back(JsonLine()
                                          .Text("serial", i.serial)
                                          .Text("why", i.why)
                                          .Text("time", i.record->start)
                                          .Object());
        }
        std::vector<std::string> dayItems;
        for (const auto& [date, day] : days) {
            dayItems.push_back(JsonLine()
                                   .Text("date", date)
                                   .Number("complete", day.complete)
                                   .Number("failed", day.failed)
                                   .Number("interrupted", day.interrupted)
                                   .Number("boards", static_cast<double>(day.boards.size()))
                                   .Object());
        }
        WriteAll(STDOUT_FILENO, JsonLine()
                                    .Raw("boards", JsonArray(boardItems))
                                    .Raw("incomplete", JsonArray(incompleteItems))
                                    .Raw("days", JsonArray(dayItems))
                                    .Number("skipped_lines", static_cast<double>(skipped))
                                    .Number("records", static_cast<double>(records))
                                    .Finish());
        return kExitComplete;
    }

    // The reader keeps serials printable and short; escaped all the same, as every text shown.
    std::size_t width = 6;
    for (const auto& entry : boards) width = std::max(width, entry.first.size());
    std::string text = "Boards: " + std::to_string(boards.size()) + "\n";
    for (const auto& [serial, board] : boards) {
        const FlashRecord& r = Shown(board);
        text += "  " + Padded(platform::EscapeText(serial), width) + "  " + Padded(r.outcome, 11) +
                "  " + DescribeRecordTime(r.start) + "  " + platform::EscapeText(r.oldVersion) +
                " -> " + platform::EscapeText(r.newVersion) + "\n";
    }
    text += "Incomplete images: " + std::to_string(incomplete.size()) + "\n";
    for (const Incomplete& i : incomplete) {
        text += "  " + Padded(platform::EscapeText(i.serial), width) + "  " + Padded(i.why, 11) +
                "  " + DescribeRecordTime(i.record->start) + "\n";
    }
    text += "Days: " + std::to_string(days.size()) + "\n";
    for (const auto& [date, day] : days) {
        text += "  " + date + "  complete " + std::to_string(day.complete) + ", failed " +
                std::to_string(day.failed) + ", interrupted " + std::to_string(day.interrupted) +
                ", boards " + std::to_string(day.boards.size()) + "\n";
    }
    text += "Records: " + std::to_string(records) +
            "; lines skipped as torn or not records: " + std::to_string(skipped) + "\n";
    WriteAll(STDOUT_FILENO, text);
    return kExitComplete;
}

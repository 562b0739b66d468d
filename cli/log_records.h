// The records of a --log file read back: the one reader behind a station's look-up of a board
// and --report, so both tell the same story of what a board holds.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

// One line this program wrote, its texts checked: what the lines of a crash, another program
// or a hostile hand could not pass off as a record.
struct FlashRecord {
    std::string upgradeId;   // 32 hexadecimal digits
    std::string outcome;     // started, complete, failed, interrupted, refused or no-image
    std::string serial;      // printable, at most 64 bytes; "" when the board never gave one
    std::string start;       // ISO 8601 UTC, e.g. 2026-12-09T16:44:02.123Z
    std::string oldVersion;  // a board's text: any bytes, escape before showing
    std::string newVersion;
    std::string imageCrc32;  // 8 hexadecimal digits
    std::string cause;       // a failed line's cause, when given
    long attempt = 0;        // 0 when the record has none
};

// `t` has the shape of a record's start: YYYY-MM-DDTHH:MM:SS, fractions optional, then Z.
bool IsRecordTime(const std::string& t);

// Calls `each` with every record of the log at `path`, in the file's order. Lines torn by a
// crash, lines that are not this program's records, records with texts none of its records
// hold, and lines longer than any record (never held in memory) are counted in `skipped`.
// False with the reason in `error` when the log cannot be opened or is not a regular file.
bool ReadFlashRecords(const std::string& path, const std::function<void(const FlashRecord&)>& each,
                      std::size_t* skipped, std::string* error);

// One board's records, fed in the log's order: what the board holds by their account.
class BoardRecords {
public:
    void Add(const FlashRecord& record);
    // The record that says what the board holds: a started line no outcome has followed, else
    // the last outcome that sent something. A refused or no-image line sent nothing, so it
    // changes nothing (a started line it answers is dropped with it). Null when none has.
    const FlashRecord* Holding() const { return holding_ ? &*holding_ : nullptr; }
    // An upgrade began and no outcome came: the board holds an incomplete image.
    bool Unfinished() const { return holding_ && holding_->outcome == "started"; }
    // The last record of any kind, for a board whose every upgrade sent nothing.
    const FlashRecord* Last() const { return last_ ? &*last_ : nullptr; }

private:
    std::optional<FlashRecord> holding_;
    std::optional<FlashRecord> beforeStart_;  // what it held before the open started line
    std::optional<FlashRecord> last_;
};

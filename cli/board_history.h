// What the record of upgrades (--log) says of one board, found by its serial number, so a
// station does not upgrade a board twice and nobody misses one left with an incomplete image.
#pragma once

#include <string>

// The serial number a board that never answered the serial query is shown with.
inline constexpr char kSerialPlaceholder[] = "XXXXXX";

struct BoardHistory {
    // The board's last outcome record is "complete" with the image asked about: when that
    // upgrade started, as DescribeRecordTime gives it. Empty otherwise.
    std::string completeOn;
    // The board's last record is a "started" line with no outcome after it: an upgrade cut off
    // (a pulled cable, a power cut), so the board holds an incomplete image. When it started.
    std::string unfinishedOn;
};

// Reads the log at `path` for the board whose serial number is `serial`, the image being the
// one whose CRC-32 text (ImageCrc32Text) is `crc32`. A serial that is empty or the placeholder
// is never matched to a record. Torn lines, lines that are not this program's records and
// records with hostile texts are skipped, never trusted. An unreadable log knows nothing.
BoardHistory LookUpBoard(const std::string& path, const std::string& serial,
                         const std::string& crc32);

// A record's "start" (ISO 8601 UTC) as a person reads it: "2026-12-09 16:44 UTC".
std::string DescribeRecordTime(const std::string& start);

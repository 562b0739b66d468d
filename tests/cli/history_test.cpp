// What the log of upgrades says: a board's history as a station asks for it, and --report as a
// person reads it, over logs with torn, foreign and hostile lines among the records.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "cli/board_history.h"
#include "tests/cli/flash_child.h"
#include "tests/support/pty_helpers.h"

namespace {

constexpr char kCrc[] = "791685C7";
constexpr char kStart[] = "2026-12-09T16:44:02.123Z";
constexpr char kShown[] = "2026-12-09 16:44 UTC";

// A record as the program writes it; `extra` goes in before the outcome.
std::string Rec(char id, const std::string& serial, const std::string& outcome,
                const std::string& crc = kCrc, const std::string& start = kStart,
                const std::string& extra = "") {
    return "{\"upgrade_id\":\"" + std::string(32, id) +
           "\",\"port\":\"/dev/ttyUSB0\",\"serial\":\"" + serial +
           "\",\"old_version\":\"V4.01\",\"new_version\":\"V4.10\",\"image_crc32\":\"" + crc +
           "\",\"image_bytes\":68608," + extra + "\"outcome\":\"" + outcome +
           "\",\"blocks\":536,\"start\":\"" + start + "\"}";
}

struct Log {
    explicit Log(const std::vector<std::string>& lines) : path(testutil::TempPath("history")) {
        std::ofstream out(path, std::ios::binary);
        for (const std::string& line : lines) out << line << '\n';
    }
    ~Log() { std::remove(path.c_str()); }
    std::string path;
};

TEST(BoardHistory, WhatTheLogSaysOfOneBoard) {
    const std::string s = "30417265";
    const std::string torn = Rec('b', s, "failed").substr(0, 90);
    // Lines that name the board but are not its records: each would undo its complete.
    const std::vector<std::string> hostile = {
        // its serial inside another field's value, the line's own serial another board's
        "{\"upgrade_id\":\"" + std::string(32, 'c') + "\",\"port\":\"\\\",\\\"serial\\\":\\\"" + s +
            "\\\"\",\"serial\":\"OTHER\",\"image_crc32\":\"791685C7\",\"outcome\":\"failed\"," +
            "\"start\":\"" + kStart + "\"}",
        // not JSON at all: an unescaped quote lets a key appear inside a value
        "{\"upgrade_id\":\"" + std::string(32, 'c') + "\",\"port\":\"x,\"serial\":\"" + s +
            "\",\"image_crc32\":\"791685C7\",\"outcome\":\"failed\",\"start\":\"" + kStart + "\"}",
        // the serial twice, a wide escape that cut to a byte would spell it, a wrong type
        Rec('c', s, "failed", kCrc, kStart, "\"serial\":\"OTHER\","),
        Rec('c', "3041726\\u0135", "failed"),
        Rec('c', s, "failed", kCrc, kStart, "\"attempt\":\"2\","),
        Rec('c', s, "failed", "791685C7\\u001b[2J"),
        Rec('c', s, "failed") + "trailing",
        // longer than any record: skipped, not held
        Rec('c', s, "failed", kCrc, kStart, "\"pad\":\"" + std::string(70000, 'x') + "\","),
    };
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::string serial;
        std::string complete;
        std::string unfinished;
    };
    std::vector<Case> cases = {
        {"complete with this image",
         {Rec('a', s, "started"), Rec('a', s, "complete")},
         s,
         kShown,
         ""},
        {"complete with another image",
         {Rec('a', s, "started", "00C0FFEE"), Rec('a', s, "complete", "00C0FFEE")},
         s,
         "",
         ""},
        {"another board's complete", {Rec('a', "30417266", "complete")}, s, "", ""},
        {"started, no outcome",
         {Rec('a', s, "complete"), Rec('b', s, "started", kCrc, "2026-12-10T08:05:59Z")},
         s,
         "",
         "2026-12-10 08:05 UTC"},
        {"refused after its started line leaves the complete before it",
         {Rec('a', s, "complete"), Rec('b', s, "started", kCrc, "2026-12-10T08:05:59Z"),
          Rec('b', s, "refused", kCrc, "2026-12-10T08:05:59Z")},
         s,
         kShown,
         ""},
        {"refused after a cut-off upgrade leaves it unfinished",
         {Rec('a', s, "started"), Rec('b', s, "started", kCrc, "2026-12-10T08:05:59Z"),
          Rec('b', s, "refused", kCrc, "2026-12-10T08:05:59Z")},
         s,
         "",
         kShown},
        {"a later failed after complete",
         {Rec('a', s, "complete"), Rec('b', s, "failed")},
         s,
         "",
         ""},
        {"a later no-image after complete",
         {Rec('a', s, "complete"), Rec('b', s, "no-image")},
         s,
         kShown,
         ""},
        {"retries of one upgrade, the last complete",
         {Rec('a', s, "started", kCrc, kStart, "\"attempt\":1,"),
          Rec('a', s, "failed", kCrc, kStart, "\"attempt\":1,\"cause\":\"adapter-gone\","),
          Rec('a', s, "started", kCrc, kStart, "\"attempt\":2,"),
          Rec('a', s, "complete", kCrc, kStart, "\"attempt\":2,")},
         s,
         kShown,
         ""},
        {"empty serial", {Rec('a', "", "started")}, "", "", ""},
        {"placeholder serial",
         {Rec('a', kSerialPlaceholder, "started")},
         kSerialPlaceholder,
         "",
         ""},
        {"a torn line between records",
         {Rec('a', s, "started"), torn, Rec('a', s, "complete")},
         s,
         kShown,
         ""},
    };
    std::vector<std::string> hostileAfterComplete = {Rec('a', s, "complete")};
    hostileAfterComplete.insert(hostileAfterComplete.end(), hostile.begin(), hostile.end());
    cases.push_back({"hostile lines naming the board", hostileAfterComplete, s, kShown, ""});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Log log(c.lines);
        const BoardHistory h = LookUpBoard(log.path, c.serial, kCrc);
        EXPECT_EQ(h.completeOn, c.complete);
        EXPECT_EQ(h.unfinishedOn, c.unfinished);
    }
    EXPECT_EQ(LookUpBoard("/nonexistent/log", s, kCrc).unfinishedOn, "");
    EXPECT_EQ(DescribeRecordTime("2026-12-09T16:44\x1b[2J"), "2026-12-09T16:44\\x1B[2J");
}

std::string Versions(std::string record) {
    return record.replace(record.find("V4.01"), 5, "V4.\\\"\\u001b[2J\\u009b");
}

bool HasControlByte(const std::string& text) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && c != '\n') || b >= 0x7F) return true;
    }
    return false;
}

TEST(LogReport, CountsBoardsDaysAndSkippedLinesAndShowsNoControlByte) {
    const Log log({
        Rec('a', "B1", "started"),
        Rec('a', "B1", "complete"),
        Rec('b', "B2", "started", kCrc, "2026-12-10T09:00:00.000Z"),  // cut off
        Rec('c', "B3", "started"),
        Rec('c', "B3", "failed", kCrc, kStart, "\"cause\":\"adapter-gone\","),
        // a board's version text with escaped control bytes: a record, shown escaped
        Versions(Rec('d', "B4", "interrupted", kCrc, "2026-12-10T10:00:00.000Z")),
        Rec('e', "", "complete"),  // a board that never gave its serial: counted, not listed
        Rec('f', "B5", "started", kCrc, "2026-12-10T11:00:00.000Z"),
        Rec('f', "B5", "refused", kCrc, "2026-12-10T11:00:00.000Z"),
        Rec('0', "B6\\u001b[2J", "complete"),                            // raw control bytes
        Rec('1', "B6", "complete", kCrc, kStart, "\"serial\":\"B7\","),  // serial twice
        Rec('2', std::string(10000, '9'), "complete"),
        Rec('3', "B1", "complete").substr(0, 70),  // torn
        "not a record \x1b[2J",
    });
    clitest::Flash text({"--report", log.path});
    ASSERT_EQ(text.Wait(), 0) << text.err;
    EXPECT_FALSE(HasControlByte(text.stdoutText));
    EXPECT_NE(text.stdoutText.find("Boards: 5\n"), std::string::npos) << text.stdoutText;
    EXPECT_NE(text.stdoutText.find("Incomplete images: 3\n"), std::string::npos);
    EXPECT_NE(text.stdoutText.find("  B2      unfinished   2026-12-10 09:00 UTC\n"),
              std::string::npos);
    EXPECT_NE(text.stdoutText.find("skipped as torn or not records: 5\n"), std::string::npos);

    clitest::Flash json({"--report", log.path, "--json"});
    ASSERT_EQ(json.Wait(), 0) << json.err;
    EXPECT_FALSE(HasControlByte(json.stdoutText));
    QJsonParseError error{};
    const QJsonObject doc =
        QJsonDocument::fromJson(QByteArray::fromStdString(json.stdoutText), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.stdoutText;
    EXPECT_EQ(doc.value("records").toInt(), 9);
    EXPECT_EQ(doc.value("skipped_lines").toInt(), 5);
    std::string boards;
    for (const auto& b : doc.value("boards").toArray())
        boards += b.toObject().value("serial").toString().toStdString() + ":" +
                  b.toObject().value("outcome").toString().toStdString() + " ";
    EXPECT_EQ(boards, "B1:complete B2:started B3:failed B4:interrupted B5:refused ");
    std::string incomplete;
    for (const auto& i : doc.value("incomplete").toArray())
        incomplete += i.toObject().value("serial").toString().toStdString() + ":" +
                      i.toObject().value("why").toString().toStdString() + " ";
    EXPECT_EQ(incomplete, "B2:unfinished B3:failed B4:interrupted ");
    const QJsonArray days = doc.value("days").toArray();
    ASSERT_EQ(days.size(), 2);
    const QJsonObject first = days[0].toObject();
    EXPECT_EQ(first.value("date").toString(), "2026-12-09");
    EXPECT_EQ(first.value("complete").toInt(), 2);
    EXPECT_EQ(first.value("failed").toInt(), 1);
    EXPECT_EQ(first.value("boards").toInt(), 2);
    EXPECT_EQ(days[1].toObject().value("interrupted").toInt(), 1);

    clitest::Flash folder({"--report", "/tmp"});
    EXPECT_EQ(folder.Wait(), 64);
    EXPECT_NE(folder.err.find("not a regular file"), std::string::npos) << folder.err;
}

}  // namespace

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/backlog.h"

namespace {

// A backlog of `capacity` bytes, of which report lines may take `reportBound`.
struct SmallBacklog {
    explicit SmallBacklog(std::size_t capacity, std::size_t reportBound)
        : bytes(capacity), backlog{bytes.data(), capacity, reportBound} {}
    std::vector<char> bytes;
    Backlog backlog;
};

// The backlog as the console thread would write it: each entry as "out:", "err:" or "report:",
// with "dropped N" before it where lines were dropped.
std::vector<std::string> Drain(Backlog *backlog) {
    std::vector<std::string> written;
    ConsoleEntry entry{};
    while (BacklogTake(backlog, &entry)) {
        if (entry.linesDroppedBefore > 0) {
            written.push_back("dropped " + std::to_string(entry.linesDroppedBefore));
        }
        if (entry.length > 0) {
            const char *kind = entry.kind == EntryKind::kReport ? "report:"
                               : entry.kind == EntryKind::kOut  ? "out:"
                                                                : "err:";
            written.push_back(kind + std::string(entry.text, entry.length));
        }
    }
    return written;
}

bool Add(Backlog *backlog, EntryKind kind, const std::string &text) {
    return BacklogAdd(backlog, kind, text.data(), text.size());
}

TEST(Backlog, DropsReportLinesPastTheBoundAndCountsThemWhereTheyStood) {
    // Each entry costs 8 bytes besides its text: report lines may take 40 of the 100.
    SmallBacklog small(100, 40);
    Backlog *backlog = &small.backlog;
    EXPECT_TRUE(Add(backlog, EntryKind::kReport, "1: 50;aaaaaaaaa\n")); // 16 + 8
    EXPECT_FALSE(Add(backlog, EntryKind::kReport, "2: 50;bbbbbbbb\n")); // 24 + 23 would pass 40
    EXPECT_FALSE(Add(backlog, EntryKind::kReport, "3: 50;cc\n"));
    EXPECT_TRUE(Add(backlog, EntryKind::kOut, "recv failed\n")); // messages have room of their own
    EXPECT_FALSE(Add(backlog, EntryKind::kReport, "4: 50;ddd\n"));
    EXPECT_TRUE(Add(backlog, EntryKind::kReport, "5: 50;\n")); // 24 + 15 fits
    EXPECT_TRUE(Add(backlog, EntryKind::kErr, "note\n"));
    EXPECT_FALSE(Add(backlog, EntryKind::kReport, "6: 50;f\n"));
    EXPECT_EQ(Drain(backlog), (std::vector<std::string>{
                                  "report:1: 50;aaaaaaaaa\n", "dropped 2", "out:recv failed\n",
                                  "dropped 1", "report:5: 50;\n", "err:note\n", "dropped 1"}));
    EXPECT_EQ(backlog->used, 0u);
    EXPECT_EQ(backlog->reportUsed, 0u);
}

TEST(Backlog, WhatFillsItsRoomToTheByteIsKeptAndWhatWouldPassItIsNot) {
    const std::string line = "1: 50;abcdefghi\n"; // with its 8-byte header, 24 bytes
    // Report lines may take half of the 48 bytes: one line fills that, a message the rest.
    SmallBacklog half(48, 24);
    EXPECT_TRUE(Add(&half.backlog, EntryKind::kReport, line));
    EXPECT_FALSE(Add(&half.backlog, EntryKind::kReport, "2: 50;\n"));
    EXPECT_TRUE(Add(&half.backlog, EntryKind::kErr, "a message, 16 b\n"));
    EXPECT_EQ(half.backlog.used, 48u);
    EXPECT_EQ(Drain(&half.backlog),
              (std::vector<std::string>{"report:" + line, "dropped 1", "err:a message, 16 b\n"}));
    // Report lines bounded by the buffer alone: a line of 32 bytes would pass its end by 8, one
    // of 24 fits.
    SmallBacklog all(48, 64);
    EXPECT_TRUE(Add(&all.backlog, EntryKind::kReport, line));
    EXPECT_FALSE(Add(&all.backlog, EntryKind::kReport, "3: 50;" + std::string(18, 'c')));
    EXPECT_TRUE(Add(&all.backlog, EntryKind::kReport, line));
    EXPECT_EQ(Drain(&all.backlog),
              (std::vector<std::string>{"report:" + line, "dropped 1", "report:" + line}));
}

TEST(Backlog, MessagesWithoutRoomAreCountedApartFromReportLines) {
    // Report lines bounded by the buffer alone: one fills half of it.
    SmallBacklog small(48, 48);
    Backlog *backlog = &small.backlog;
    EXPECT_TRUE(Add(backlog, EntryKind::kReport, "1: 50;abcdefghi\n"));
    EXPECT_FALSE(Add(backlog, EntryKind::kOut, "recv failed with error: 104\n"));
    EXPECT_FALSE(Add(backlog, EntryKind::kReport, "2: 50;abcdefghij\n"));
    EXPECT_FALSE(Add(backlog, EntryKind::kErr, "log.txt was moved\n"));
    EXPECT_TRUE(Add(backlog, EntryKind::kErr, "moved\n"));
    EXPECT_EQ(BacklogTakeDroppedMessages(backlog), 2u);
    EXPECT_EQ(BacklogTakeDroppedMessages(backlog), 0u);
    EXPECT_EQ(Drain(backlog),
              (std::vector<std::string>{"report:1: 50;abcdefghi\n", "dropped 1", "err:moved\n"}));
}

TEST(Backlog, WhatItHoldsNeverPassesItsSizeForShortLinesOrLong) {
    for (const std::size_t length : {std::size_t{1}, std::size_t{30}, kLineMax}) {
        constexpr std::size_t kSize = 8192;
        constexpr std::size_t kBound = 6144;
        SmallBacklog small(kSize, kBound);
        const std::string line(length, 'x');
        std::size_t queued = 0;
        while (Add(&small.backlog, EntryKind::kReport, line)) {
            ++queued;
        }
        // Report lines stop at their bound, headers and all; messages still fit beside them.
        EXPECT_EQ(queued, kBound / (length + 8)) << length;
        EXPECT_LE(small.backlog.used, kBound) << length;
        EXPECT_TRUE(Add(&small.backlog, EntryKind::kErr, std::string(500, 'e'))) << length;
        // Nothing, however long, goes past the buffer itself.
        while (Add(&small.backlog, EntryKind::kOut, std::string(700, 'o'))) {
        }
        EXPECT_LE(small.backlog.used, kSize) << length;
    }
}

TEST(Backlog, EntriesThatWrapAroundTheEndComeBackWhole) {
    SmallBacklog small(64, 64);
    Backlog *backlog = &small.backlog;
    // Lines of changing lengths, taken as they are added, so that they wrap at every offset.
    for (int i = 0; i < 200; ++i) {
        const std::string line = std::to_string(i) + std::string(static_cast<std::size_t>(i % 23),
                                                                 static_cast<char>('a' + i % 26));
        ASSERT_TRUE(Add(backlog, EntryKind::kReport, line)) << i;
        if (i % 3 == 2) {
            ASSERT_TRUE(Add(backlog, EntryKind::kErr, "e" + std::to_string(i)));
        }
        const std::vector<std::string> drained = Drain(backlog);
        std::vector<std::string> expected = {"report:" + line};
        if (i % 3 == 2) {
            expected.push_back("err:e" + std::to_string(i));
        }
        ASSERT_EQ(drained, expected) << i;
    }
}

} // namespace

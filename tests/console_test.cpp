#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/console.h"

namespace {

// The backlog as the console thread would write it: each entry as "out:", "err:" or "dropped N".
std::vector<std::string> Drain(Backlog *backlog) {
    std::vector<std::string> written;
    while (!backlog->entries.empty()) {
        const ConsoleEntry entry = BacklogTake(backlog);
        if (entry.text.empty()) {
            written.push_back("dropped " + std::to_string(entry.dropped));
        } else {
            written.push_back((entry.stream == Stream::kOut ? "out:" : "err:") + entry.text);
        }
    }
    return written;
}

void Report(Backlog *backlog, const std::string &line, bool queued) {
    EXPECT_EQ(BacklogAddReport(backlog, line.data(), line.size(), 20), queued) << line;
}

TEST(Backlog, DropsReportLinesPastTheBoundAndCountsThemWhereTheyStood) {
    Backlog backlog;
    Report(&backlog, "1: 50;aaaaaa\n", true); // 13 bytes
    Report(&backlog, "2: 50;bb\n", false);    // 22 would pass the bound of 20
    Report(&backlog, "3: 50;c\n", false);
    BacklogAddText(&backlog, Stream::kOut, "recv failed with error: 104\n", 28); // never dropped
    Report(&backlog, "4: 50;d\n", false);
    Report(&backlog, "5: 50;\n", true); // 13 + 7 fits exactly
    BacklogAddText(&backlog, Stream::kErr, "note\n", 5);
    EXPECT_EQ(Drain(&backlog),
              (std::vector<std::string>{"out:1: 50;aaaaaa\n", "dropped 2",
                                        "out:recv failed with error: 104\n", "dropped 1",
                                        "out:5: 50;\n", "err:note\n"}));

    // Taking lines makes room again: the bound is on what waits, not on what was ever queued.
    for (int i = 0; i < 10; ++i) {
        Report(&backlog, "6: 50;eeeeee\n", true);
        BacklogTake(&backlog);
    }
    EXPECT_TRUE(backlog.entries.empty());
    EXPECT_EQ(backlog.reportBytes, 0u);
}

TEST(Backlog, TheDropNoticeCountsInWords) {
    EXPECT_EQ(DropNotice(1), "1 line was not shown: standard output was not read in time "
                             "(log.txt has what was logged)\n");
    EXPECT_EQ(DropNotice(1234), "1234 lines were not shown: standard output was not read in time "
                                "(log.txt has what was logged)\n");
}

} // namespace

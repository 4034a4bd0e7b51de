#include <string>

#include <gtest/gtest.h>

#include "console/console.h"

namespace {

TEST(NotShownNotice, CountsLinesAndMessagesInWordsAndSaysWhy) {
    EXPECT_EQ(NotShownNotice(1, NotShown::kNotRead),
              "1 line was not shown: standard output was not read in time "
              "(log.txt has what was logged)\n");
    EXPECT_EQ(NotShownNotice(1234, NotShown::kNotWritten),
              "1234 lines were not shown: standard output could not be written "
              "(log.txt has what was logged)\n");
    // The log does not have the messages.
    EXPECT_EQ(NotShownNotice(1, NotShown::kMessagesNotRead),
              "1 message was not shown: standard output was not read in time\n");
    EXPECT_EQ(NotShownNotice(173, NotShown::kErrMessagesNotRead),
              "173 messages were not shown: standard error was not read in time\n");
}

TEST(ConsoleSay, AMessageTooLongIsCutButKeepsItsLineFeed) {
    // Before the console thread starts, messages are written at once.
    testing::internal::CaptureStderr();
    ConsoleSay(Stream::kErr, "%s\n", std::string(600, 'm').c_str());
    ConsoleSay(Stream::kErr, "next\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(510, 'm') + "\nnext\n");
}

} // namespace

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/arguments.h"

namespace {

// The arguments after the program's name, as main gets them, with "/?" as the platform's own
// spelling of a request for help where `helpSwitch` says so.
Arguments Parse(std::vector<const char *> arguments, const char *helpSwitch = nullptr) {
    arguments.insert(arguments.begin(), "chanlog");
    return ParseArguments(static_cast<int>(arguments.size()), arguments.data(), helpSwitch);
}

TEST(ParseArguments, TakesOptionsInAnyOrderAndCombination) {
    struct Case {
        std::vector<const char *> arguments;
        Request request;
        bool reconnect;
    };
    const Case cases[] = {
        {{}, Request::kRun, false},
        {{"--reconnect"}, Request::kRun, true},
        {{"--reconnect", "--reconnect"}, Request::kRun, true},
        {{"--help"}, Request::kHelp, false},
        {{"-h", "--reconnect"}, Request::kHelp, true},
        {{"--reconnect", "--help"}, Request::kHelp, true},
        {{"--version"}, Request::kVersion, false},
        {{"--reconnect", "--version"}, Request::kVersion, true},
        {{"--version", "--help"}, Request::kHelp, false},
        {{"--help", "--version"}, Request::kHelp, false},
    };
    for (const Case &c : cases) {
        const std::string line = testing::PrintToString(c.arguments);
        const Arguments parsed = Parse(c.arguments);
        EXPECT_EQ(parsed.request, c.request) << line;
        EXPECT_EQ(parsed.reconnect, c.reconnect) << line;
        EXPECT_EQ(parsed.bad, nullptr) << line;
    }
}

TEST(ParseArguments, NamesTheFirstArgumentItDoesNotKnow) {
    struct Case {
        std::vector<const char *> arguments;
        std::string bad;
    };
    const Case cases[] = {
        {{"--bogus"}, "--bogus"},
        {{"--reconnect", "log.txt"}, "log.txt"},
        {{"--version", "extra", "more"}, "extra"},
        {{"--help", "--Reconnect"}, "--Reconnect"},
        {{"--reconnect=yes"}, "--reconnect=yes"},
        {{"-"}, "-"},
        {{""}, ""},
        {{"/?"}, "/?"}, // no help switch on this platform
    };
    for (const Case &c : cases) {
        const Arguments parsed = Parse(c.arguments);
        EXPECT_EQ(parsed.request, Request::kBad) << c.bad;
        ASSERT_NE(parsed.bad, nullptr) << c.bad;
        EXPECT_EQ(parsed.bad, c.bad);
    }
}

TEST(ParseArguments, ThePlatformsHelpSwitchAsksForHelpAmongTheOthers) {
    EXPECT_EQ(Parse({"/?"}, "/?").request, Request::kHelp);
    const Arguments both = Parse({"--reconnect", "/?"}, "/?");
    EXPECT_EQ(both.request, Request::kHelp);
    EXPECT_TRUE(both.reconnect);
    EXPECT_EQ(Parse({"/h"}, "/?").request, Request::kBad);
}

} // namespace

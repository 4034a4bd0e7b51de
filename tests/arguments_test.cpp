#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/arguments.h"

namespace {

// How ParseArguments takes `arguments` (after the program's name), with `helpSwitch` as the
// platform's own spelling of a request for help: "run", "help" or "version", then " reconnect" and
// " lines" where they were asked for; or "bad 'ARGUMENT'".
std::string Parse(std::vector<const char *> arguments, const char *helpSwitch = nullptr) {
    arguments.insert(arguments.begin(), "chanlog");
    const Arguments parsed =
        ParseArguments(static_cast<int>(arguments.size()), arguments.data(), helpSwitch);
    if (parsed.request == Request::kBad || parsed.bad != nullptr) {
        return std::string(parsed.request == Request::kBad ? "bad '" : "not bad, yet '") +
               (parsed.bad != nullptr ? parsed.bad : "(none)") + "'";
    }
    const char *requests[] = {"run", "help", "version"};
    return requests[static_cast<int>(parsed.request)] +
           std::string(parsed.reconnect ? " reconnect" : "") + (parsed.lines ? " lines" : "");
}

TEST(ParseArguments, TakesOptionsInAnyOrderAndCombination) {
    const std::pair<std::vector<const char *>, const char *> cases[] = {
        {{}, "run"},
        {{"--reconnect"}, "run reconnect"},
        {{"--reconnect", "--reconnect"}, "run reconnect"},
        {{"--help"}, "help"},
        {{"-h", "--reconnect"}, "help reconnect"},
        {{"--reconnect", "--help"}, "help reconnect"},
        {{"--version"}, "version"},
        {{"--reconnect", "--version"}, "version reconnect"},
        {{"--version", "--help"}, "help"},
        {{"--help", "--version"}, "help"},
        {{"--lines"}, "run lines"},
        {{"--lines", "--reconnect", "--lines"}, "run reconnect lines"},
        {{"--reconnect", "--lines"}, "run reconnect lines"},
        {{"--lines", "--version"}, "version lines"},
    };
    for (const auto &[arguments, parsed] : cases) {
        EXPECT_EQ(Parse(arguments), parsed) << testing::PrintToString(arguments);
    }
}

TEST(ParseArguments, NamesTheFirstArgumentItDoesNotKnow) {
    const std::pair<std::vector<const char *>, const char *> cases[] = {
        {{"--bogus"}, "bad '--bogus'"},
        {{"--reconnect", "log.txt"}, "bad 'log.txt'"},
        {{"--version", "extra", "more"}, "bad 'extra'"},
        {{"--help", "--Reconnect"}, "bad '--Reconnect'"},
        {{"--reconnect=yes"}, "bad '--reconnect=yes'"},
        {{"--lines", "--line"}, "bad '--line'"},
        {{"-"}, "bad '-'"},
        {{""}, "bad ''"},
        {{"/?"}, "bad '/?'"}, // no help switch on this platform
    };
    for (const auto &[arguments, parsed] : cases) {
        EXPECT_EQ(Parse(arguments), parsed) << testing::PrintToString(arguments);
    }
}

TEST(ParseArguments, ThePlatformsHelpSwitchAsksForHelpAmongTheOthers) {
    EXPECT_EQ(Parse({"/?"}, "/?"), "help");
    EXPECT_EQ(Parse({"--reconnect", "/?"}, "/?"), "help reconnect");
    EXPECT_EQ(Parse({"/h"}, "/?"), "bad '/h'");
}

} // namespace

#include "app/settings.h"

#include <gtest/gtest.h>

namespace brelo {
namespace {

const std::string D{kDefaultBrelo};

TEST(CommandLine, ReadsOptionsToTheLetter) {
    struct Case {
        std::vector<std::string> args;
        std::string brelo, node, room;
    };
    for (const Case& c : std::vector<Case>{
             {{}, D, "host", ""},
             {{"--room", "Hall", "--brelo", "http://x:1", "--node", "N"}, "http://x:1", "N", "Hall"},
             {{"--node", "Hall", "--node", "Attic"}, D, "Attic", ""},  // the last wins, case kept
             {{"--room", "A", "--room"}, D, "host", "A"},               // an option last is dropped
             {{"--node", "--room"}, D, "--room", ""},                   // a value may start with dashes
             {{"--node", "", "--room", ""}, D, "", ""},
             {{"-v", "start", "--Node", "x", "--brelo=y", "--room", "r"}, D, "host", "r"},  // unknown words
             {{"--brelo", " not a url \n", "--room", "Kitchen\tHall"}, " not a url \n", "host", "Kitchen\tHall"}}) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Settings s = readCommandLine(c.args, "host");
        EXPECT_EQ(s.brelo, c.brelo);
        EXPECT_EQ(s.node, c.node);
        EXPECT_EQ(s.room, c.room);
    }
}

TEST(NodeName, FirstLabelOfTheHostNameLowerCased) {
    EXPECT_EQ(nodeNameFromHostName("Kitchen-Mini.local"), "kitchen-mini");
    EXPECT_EQ(nodeNameFromHostName("Office"), "office");
    EXPECT_EQ(nodeNameFromHostName(""), "");
    EXPECT_EQ(nodeNameFromHostName(".hidden"), "");
    EXPECT_EQ(nodeNameFromHostName("a.b.c"), "a");
}

}  // namespace
}  // namespace brelo

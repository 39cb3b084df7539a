#include "app/settings.h"

#include <gtest/gtest.h>

namespace brelo {
namespace {

struct CommandLineCase {
    const char* label;
    std::vector<std::string> args;
    std::string brelo, node, room;
};

class CommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, ReadsOptionsToTheLetter) {
    const auto& c = GetParam();
    Settings s = readCommandLine(c.args, "host");
    EXPECT_EQ(s.brelo, c.brelo);
    EXPECT_EQ(s.node, c.node);
    EXPECT_EQ(s.room, c.room);
}

const std::string D{kDefaultBrelo};

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    ::testing::Values(
        CommandLineCase{"none", {}, D, "host", ""},
        CommandLineCase{"all", {"--room", "Hall", "--brelo", "http://x:1", "--node", "N"}, "http://x:1", "N", "Hall"},
        CommandLineCase{"last_wins_case_kept", {"--node", "Hall", "--node", "Attic"}, D, "Attic", ""},
        CommandLineCase{"option_last_is_dropped", {"--room", "A", "--room"}, D, "host", "A"},
        CommandLineCase{"value_starting_with_dashes", {"--node", "--room"}, D, "--room", ""},
        CommandLineCase{"empty_value", {"--node", "", "--room", ""}, D, "", ""},
        CommandLineCase{"unknown_words_and_stray_values", {"-v", "start", "--Node", "x", "--brelo=y", "--room", "r"},
                        D, "host", "r"},
        CommandLineCase{"value_verbatim", {"--brelo", " not a url \n", "--room", "Kitchen\tHall"},
                        " not a url \n", "host", "Kitchen\tHall"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(NodeName, FirstLabelOfTheHostNameLowerCased) {
    EXPECT_EQ(nodeNameFromHostName("Kitchen-Mini.local"), "kitchen-mini");
    EXPECT_EQ(nodeNameFromHostName("Office"), "office");
    EXPECT_EQ(nodeNameFromHostName(""), "");
    EXPECT_EQ(nodeNameFromHostName(".hidden"), "");
    EXPECT_EQ(nodeNameFromHostName("a.b.c"), "a");
}

}  // namespace
}  // namespace brelo

// SPDX-License-Identifier: LGPL-2.1-or-later
// Command lines of the shipped programs: options, names, and numbers refused unless whole.
#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/common/arguments.h"

namespace {

using zorvgst_tools::arguments_t;

TEST(ToolsArguments, OptionsTakeValuesInBothSpellingsBesideNames) {
    arguments_t parsed;
    const auto error = zorvgst_tools::parse_arguments(
        {"first", "--dir", "/tmp", "--json", "second", "--count=3", "-"},
        {{"--dir", true}, {"--json", false}, {"--count", true}}, parsed);
    ASSERT_FALSE(error) << *error;
    EXPECT_EQ(parsed.options.at("--dir"), "/tmp");
    EXPECT_EQ(parsed.options.at("--count"), "3");
    EXPECT_TRUE(parsed.has("--json"));
    EXPECT_FALSE(parsed.has("--dry-run"));
    // A lone "-" is a name, as in most command lines.
    EXPECT_EQ(parsed.positional, (std::vector<std::string>{"first", "second", "-"}));
}

TEST(ToolsArguments, UsageErrorsNameTheOption) {
    const zorvgst_tools::accepted_options_t accepted{{"--dir", true}, {"--json", false}};
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--bogus=1"}, "unknown option '--bogus'"},
        {{"--dir"}, "option '--dir' needs a value"},
        {{"--json=yes"}, "option '--json' takes no value"},
    };
    for (const auto& [args, message] : cases) {
        arguments_t parsed;
        const auto error = zorvgst_tools::parse_arguments(args, accepted, parsed);
        ASSERT_TRUE(error) << args.front();
        EXPECT_EQ(*error, message);
    }
}

TEST(ToolsArguments, NumbersAreWholeAndInRangeOrRefused) {
    EXPECT_EQ(zorvgst_tools::whole_number("42", 1, 100), 42);
    EXPECT_EQ(zorvgst_tools::whole_number("-5", -10, 0), -5);
    EXPECT_EQ(zorvgst_tools::whole_number("9223372036854775807", 0, LLONG_MAX), LLONG_MAX);
    for (const char* text : {"", "0", "101", "12abc", " 7", "3.5", "99999999999999999999"}) {
        EXPECT_FALSE(zorvgst_tools::whole_number(text, 1, 100)) << "'" << text << "'";
    }
    EXPECT_EQ(zorvgst_tools::decimal_number("0.25", 0.01, 3600), 0.25);
    for (const char* text : {"", "0", "nan", "inf", "1e9", "1s", " 1"}) {
        EXPECT_FALSE(zorvgst_tools::decimal_number(text, 0.01, 3600)) << "'" << text << "'";
    }
}

TEST(ToolsArguments, BindingsSetTheirVariablesOrSayWhatIsWrong) {
    std::string name = "default";
    unsigned width = 640;
    const auto bindings =
        zorvgst_tools::option_bindings().add("--name", name).add("--width", width, 1, 16384);
    const auto parse = [&](std::vector<const char*> args) {
        args.insert(args.begin(), "program");
        return bindings.parse(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    };

    EXPECT_FALSE(parse({"--name", "cam", "--width", "1920"}));
    EXPECT_EQ(name, "cam");
    EXPECT_EQ(width, 1920u);

    EXPECT_EQ(parse({"--width", "0"}), "option '--width' cannot be '0'");
    EXPECT_EQ(parse({"--width", "wide"}), "option '--width' cannot be 'wide'");
    EXPECT_EQ(parse({"--name", ""}), "option '--name' cannot be ''");
    EXPECT_EQ(parse({"stray"}), "unexpected argument 'stray'");
    EXPECT_EQ(parse({"--height", "5"}), "unknown option '--height'");
    EXPECT_EQ(width, 1920u) << "a refused value leaves the variable alone";
}

} // namespace

#include "entry/CommandLine.h"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLine, ThreeArgumentsFollowPlaceholder) {
    EXPECT_EQ(split_command_line_args(R"(SipperA C:\logs\sipper.log C:\cfg\sipper.cfg)"),
              (Args{"dummy", "SipperA", R"(C:\logs\sipper.log)", R"(C:\cfg\sipper.cfg)"}));
}

TEST(SplitCommandLine, EmptyTextGivesPlaceholderAlone) {
    EXPECT_EQ(split_command_line_args(""), (Args{"dummy"}));
}

TEST(SplitCommandLine, TwoBlanksGiveEmptyArgumentBetween) {
    EXPECT_EQ(split_command_line_args("a  b"), (Args{"dummy", "a", "", "b"}));
}

TEST(SplitCommandLine, LeadingBlankGivesEmptyFirstArgumentTrailingBlankNothing) {
    EXPECT_EQ(split_command_line_args(" a"), (Args{"dummy", "", "a"}));
    EXPECT_EQ(split_command_line_args("a "), (Args{"dummy", "a"}));
    EXPECT_EQ(split_command_line_args(" "), (Args{"dummy", ""}));
}

TEST(SplitCommandLine, QuotesGroupBlanksAndStayInArgument) {
    EXPECT_EQ(split_command_line_args(R"(a "b c")"), (Args{"dummy", "a", R"("b c")"}));
}

TEST(SplitCommandLine, ClosingQuoteEndsArgumentSoFollowingBlankEndsAnEmptyOne) {
    EXPECT_EQ(split_command_line_args(R"("b c" d)"), (Args{"dummy", R"("b c")", "", "d"}));
}

TEST(SplitCommandLine, QuoteInsideWordEndsArgumentAtClosingQuote) {
    EXPECT_EQ(split_command_line_args(R"(x"y z"w)"), (Args{"dummy", R"(x"y z")", "w"}));
}

TEST(SplitCommandLine, UnclosedQuoteKeepsRestInOneArgument) {
    EXPECT_EQ(split_command_line_args(R"(a "b c d)"), (Args{"dummy", "a", R"("b c d)"}));
}

TEST(SplitCommandLine, TabIsAnOrdinaryCharacter) {
    EXPECT_EQ(split_command_line_args("a\tb c"), (Args{"dummy", "a\tb", "c"}));
}

TEST(SplitCommandLine, ExtraArgumentsAreKept) {
    EXPECT_EQ(split_command_line_args("i l c extra more").size(), 6u);
}

}  // namespace

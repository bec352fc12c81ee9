#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <antlr/TokenBuffer.hpp>

#include "CfgTokenTypes.hpp"
#include "ConfigLexer.hpp"
#include "ConfigParser.hpp"
#include "config/ConfigReader.h"
#include "utilities/Exception.h"

namespace {

struct ParseResult {
    std::vector<ConfigEntry> entries;
    std::string error;      // the Exception's message, empty when none
    std::string reports;    // what went to standard error
    bool raised = false;
    ConfigStop stop;
};

ParseResult parse(const std::string& text)
{
    ParseResult result;
    std::istringstream in(text);
    testing::internal::CaptureStderr();
    try {
        parse_config(in, result.entries, "", &result.stop);
    } catch (const Exception& e) {
        result.raised = true;
        result.error = e.message();
    }
    result.reports = testing::internal::GetCapturedStderr();
    return result;
}

int count_lines(const std::string& text)
{
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

std::vector<int> token_types(const std::string& text)
{
    std::istringstream in(text);
    ConfigLexer lexer(in);
    std::vector<int> types;
    for (antlr::RefToken t = lexer.nextToken(); t->getType() != antlr::Token::EOF_TYPE; t = lexer.nextToken())
        types.push_back(t->getType());
    return types;
}

}  // namespace

// ---------------------------------------------------------------- value kinds

TEST(ConfigReaderValues, IntegerEntry)
{
    ParseResult r = parse("FREQ=10;\n");
    ASSERT_FALSE(r.raised) << r.error;
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].key(), "FREQ");
    EXPECT_EQ(r.entries[0].type(), ConfigEntry::TYPE_INTEGER);
    EXPECT_EQ(r.entries[0].int_value(), 10);
}

TEST(ConfigReaderValues, BlanksBetweenTokensAndRealEntry)
{
    ParseResult r = parse("FREQ = 10.0 ;\n");
    ASSERT_FALSE(r.raised) << r.error;
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].type(), ConfigEntry::TYPE_REAL);
    EXPECT_DOUBLE_EQ(r.entries[0].real_value(), 10.0);
    EXPECT_EQ(r.reports, "");
}

TEST(ConfigReaderValues, StringKeepsTextBetweenQuotes)
{
    ParseResult r = parse("LOGSERVERIF=\"LogServer\";\n");
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].type(), ConfigEntry::TYPE_STRING);
    EXPECT_EQ(r.entries[0].string_value(), "LogServer");
}

TEST(ConfigReaderValues, StringSpansLinesAndHoldsSlashes)
{
    ParseResult r = parse("S=\"one\ntwo // three\";\nT=1;\n");
    ASSERT_FALSE(r.raised) << r.error;
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].string_value(), "one\ntwo // three");
    EXPECT_EQ(r.entries[1].key(), "T");
}

TEST(ConfigReaderValues, ArrayOfMixedElements)
{
    ParseResult r = parse("POS=[1.5, -2, \"a b\"];\n");
    ASSERT_FALSE(r.raised) << r.error;
    ASSERT_EQ(r.entries.size(), 1u);
    const ConfigArray& a = r.entries[0].elements();
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].type(), ConfigEntry::TYPE_REAL);
    EXPECT_DOUBLE_EQ(a[0].real_value(), 1.5);
    EXPECT_EQ(a[1].type(), ConfigEntry::TYPE_INTEGER);
    EXPECT_EQ(a[1].int_value(), -2);
    EXPECT_EQ(a[2].type(), ConfigEntry::TYPE_STRING);
    EXPECT_EQ(a[2].string_value(), "a b");
    for (const ConfigEntry& e : a)
        EXPECT_EQ(e.key(), "");
}

TEST(ConfigReaderValues, NumberForms)
{
    ParseResult r = parse("A=.5;\nB=+3.0e-2;\nC=2.5E3;\nD=-0.25;\nE=+7;\nF=-3;\n");
    ASSERT_FALSE(r.raised) << r.error;
    ASSERT_EQ(r.entries.size(), 6u);
    EXPECT_DOUBLE_EQ(r.entries[0].real_value(), 0.5);
    EXPECT_DOUBLE_EQ(r.entries[1].real_value(), 0.03);
    EXPECT_DOUBLE_EQ(r.entries[2].real_value(), 2500.0);
    EXPECT_DOUBLE_EQ(r.entries[3].real_value(), -0.25);
    EXPECT_EQ(r.entries[4].int_value(), 7);
    EXPECT_EQ(r.entries[5].int_value(), -3);
}

TEST(ConfigReaderValues, ExponentWithoutPointSplitsIntoIntegerAndIdentifier)
{
    // "1e5" is INTEGER 1 then identifier e5, so the entry lacks its ";".
    ParseResult r = parse("X=1e5;\n");
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.error, " line 1 column 4");
}

TEST(ConfigReaderValues, IntegerLimitsAreExact)
{
    ParseResult r = parse("LO=-2147483648;\nHI=2147483647;\nZ=-0000000000012;\n");
    ASSERT_FALSE(r.raised) << r.error;
    EXPECT_EQ(r.entries[0].int_value(), -2147483647 - 1);
    EXPECT_EQ(r.entries[1].int_value(), 2147483647);
    EXPECT_EQ(r.entries[2].int_value(), -12);
}

TEST(ConfigReaderValues, IntegerBeyond32BitsIsAnErrorAtItsToken)
{
    ParseResult r = parse("A=1;\nB=2147483648;\nC=3;\n");
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.error, " line 2 column 3");
    ASSERT_EQ(r.entries.size(), 1u);  // A stays
    EXPECT_EQ(r.entries[0].key(), "A");

    EXPECT_EQ(parse("X=[1, -2147483649];\n").error, " line 1 column 7");
    EXPECT_EQ(parse("X=99999999999999999999999;\n").error, " line 1 column 3");
}

TEST(ConfigReaderValues, RealBeyondDoubleRangeIsAnError)
{
    EXPECT_EQ(parse("X=1.0e999;\n").error, " line 1 column 3");
    // An underflow is no error: it reads as (nearly) zero.
    ParseResult r = parse("X=1.0e-999;\n");
    ASSERT_FALSE(r.raised) << r.error;
    EXPECT_EQ(r.entries[0].real_value(), 0.0);
}

TEST(ConfigReaderValues, DuplicateKeysAllKeptInOrder)
{
    ParseResult r = parse("K=1;\nK=\"two\";\nK=3;\n");
    ASSERT_EQ(r.entries.size(), 3u);
    EXPECT_EQ(r.entries[0].int_value(), 1);
    EXPECT_EQ(r.entries[1].string_value(), "two");
    EXPECT_EQ(r.entries[2].int_value(), 3);
}

TEST(ConfigReaderValues, KeysKeepTheirCase)
{
    ParseResult r = parse("freq=10;\nFREQ=11;\nMixed_Key-2=3;\n");
    ASSERT_EQ(r.entries.size(), 3u);
    EXPECT_EQ(r.entries[0].key(), "freq");
    EXPECT_EQ(r.entries[1].key(), "FREQ");
    EXPECT_EQ(r.entries[2].key(), "Mixed_Key-2");
}

TEST(ConfigReaderValues, CommentsAndBlankLinesAnywhereBetweenEntries)
{
    ParseResult r = parse("// head\n\nX=1;// note\n\n   \n// tail\nY=2;\n");
    ASSERT_FALSE(r.raised) << r.error;
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[1].key(), "Y");
    EXPECT_EQ(r.reports, "");
}

TEST(ConfigReaderValues, CarriageReturnLineFeedIsOneLineEndLoneCarriageReturnIsReported)
{
    // Written elsewhere: CR LF ends lines, also inside strings and comments;
    // only the lone CR before the last line end is a bad character.
    ParseResult r = parse("X=1;\r\nS=\"a\r\nb\";\r\n// note\r\nY=2;\r\r\nZ=[1,\"c\"];");
    ASSERT_FALSE(r.raised) << r.error;
    EXPECT_FALSE(r.stop.stopped);
    ASSERT_EQ(r.entries.size(), 4u);
    EXPECT_EQ(r.entries[1].string_value(), "a\nb");
    EXPECT_EQ(r.entries[2].key(), "Y");
    EXPECT_EQ(r.entries[3].elements().size(), 2u);
    EXPECT_EQ(count_lines(r.reports), 1) << r.reports;
    EXPECT_NE(r.reports.find("4:5: unexpected char"), std::string::npos) << r.reports;
}

// ---------------------------------------------------------------- recovery

TEST(ConfigReaderRecovery, TabIsReportedOnceAndSkipped)
{
    ParseResult r = parse("X=\t5;\n");
    ASSERT_FALSE(r.raised) << r.error;
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].int_value(), 5);
    EXPECT_EQ(count_lines(r.reports), 1);
    EXPECT_NE(r.reports.find("1:3"), std::string::npos) << r.reports;
    EXPECT_NE(r.reports.find("unexpected char: "), std::string::npos) << r.reports;
}

TEST(ConfigReaderRecovery, UnfinishedRealReportsEachCharacterThenFailsAtKey)
{
    ParseResult r = parse("X=2.;\n");
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.error, " line 1 column 1");
    EXPECT_EQ(count_lines(r.reports), 2);
    EXPECT_NE(r.reports.find("1:3: unexpected char: '2'"), std::string::npos) << r.reports;
    EXPECT_NE(r.reports.find("1:4: unexpected char: '.'"), std::string::npos) << r.reports;
}

TEST(ConfigReaderRecovery, CommentWithoutLineFeedAtEndIsReread)
{
    // Both "/" are reported and skipped, and "note" becomes an identifier
    // without an entry; the position is where note really stands.
    ParseResult r = parse("X=1;\n// note");
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.error, " line 2 column 4");
    EXPECT_EQ(count_lines(r.reports), 2);
    EXPECT_NE(r.reports.find("2:1: unexpected char: '/'"), std::string::npos) << r.reports;
    EXPECT_NE(r.reports.find("2:2: unexpected char: '/'"), std::string::npos) << r.reports;
    ASSERT_EQ(r.entries.size(), 1u);
}

TEST(ConfigReaderRecovery, CommentWithNumberWithoutLineFeedStopsSilently)
{
    ParseResult r = parse("X=1;\n// 5");
    EXPECT_FALSE(r.raised) << r.error;
    EXPECT_EQ(r.entries.size(), 1u);
    EXPECT_TRUE(r.stop.stopped);
    EXPECT_EQ(r.stop.line, 2);
    EXPECT_EQ(r.stop.column, 4);
}

TEST(ConfigReaderRecovery, UnterminatedStringReportsQuoteThenFailsAtKey)
{
    ParseResult r = parse("X=\"abc");
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.error, " line 1 column 1");
    EXPECT_EQ(count_lines(r.reports), 1);
    EXPECT_NE(r.reports.find("1:3: unexpected char: '\"'"), std::string::npos) << r.reports;
}

TEST(ConfigReaderRecovery, HashLineReportsHashThenFailsAtIdentifier)
{
    ParseResult r = parse("# note\n");
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.error, " line 1 column 3");
    EXPECT_EQ(count_lines(r.reports), 1);
    EXPECT_NE(r.reports.find("1:1: unexpected char: '#'"), std::string::npos) << r.reports;
}

TEST(ConfigReaderRecovery, LoneSignIsReportedAndTheRestRead)
{
    ParseResult r = parse("X=--5;\n");
    ASSERT_FALSE(r.raised) << r.error;
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].int_value(), -5);
    EXPECT_EQ(count_lines(r.reports), 1);
}

TEST(ConfigReaderRecovery, LineFeedsInsideStringsAreNotCounted)
{
    ParseResult r = parse("S=\"a\nb\nc\";\nX=1\n");
    EXPECT_TRUE(r.raised);
    // X stands on line 4 of the file but the reader counts line 2.
    EXPECT_EQ(r.error, " line 2 column 4");
}

// ---------------------------------------------------------------- errors

TEST(ConfigReaderErrors, MissingSemicolonFailsAtTheLineFeed)
{
    ParseResult r = parse("X=1\n");
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.error, " line 1 column 4");
}

TEST(ConfigReaderErrors, MissingValueFailsAtTheIdentifier)
{
    EXPECT_EQ(parse("X=;\n").error, " line 1 column 1");
    EXPECT_EQ(parse("A=1;\n  X=;\n").error, " line 2 column 3");
}

TEST(ConfigReaderErrors, MissingEqualsFailsAtTheIdentifier)
{
    EXPECT_EQ(parse("X 1;\n").error, " line 1 column 1");
}

TEST(ConfigReaderErrors, EmptyArrayAndTrailingCommaFail)
{
    EXPECT_EQ(parse("X=[];\n").error, " line 1 column 4");
    EXPECT_EQ(parse("X=[1,];\n").error, " line 1 column 6");
}

TEST(ConfigReaderErrors, NestedArrayFails)
{
    EXPECT_EQ(parse("X=[[1]];\n").error, " line 1 column 4");
}

TEST(ConfigReaderErrors, MissingArrayCloseFails)
{
    EXPECT_EQ(parse("X=[1,2;\n").error, " line 1 column 7");
}

TEST(ConfigReaderErrors, LineFeedInsideAnEntryFails)
{
    EXPECT_EQ(parse("X=\n1;\n").error, " line 1 column 1");
    EXPECT_EQ(parse("X=[1,\n2];\n").error, " line 1 column 6");
}

TEST(ConfigReaderErrors, EntriesBeforeTheErrorStay)
{
    ParseResult r = parse("A=1;\nB=\"x\";\nC=;\nD=4;\n");
    EXPECT_TRUE(r.raised);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[1].key(), "B");
}

namespace {

// A stream that fails after handing out a few characters.
class FailingBuffer : public std::streambuf {
public:
    explicit FailingBuffer(std::string text) : text_(std::move(text)) {}

protected:
    int_type underflow() override
    {
        if (pos_ < text_.size()) {
            setg(&text_[pos_], &text_[pos_], &text_[pos_] + 1);
            ++pos_;
            return traits_type::to_int_type(text_[pos_ - 1]);
        }
        throw std::runtime_error("device gone");
    }

private:
    std::string text_;
    size_t pos_ = 0;
};

}  // namespace

TEST(ConfigReaderErrors, FailingStreamRaisesTokenStreamException)
{
    FailingBuffer buffer("A=1;\nB=2");
    std::istream in(&buffer);
    std::vector<ConfigEntry> entries;
    try {
        parse_config(in, entries);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message().rfind("TokenStreamException ", 0), 0u) << e.message();
        EXPECT_GT(e.message().size(), std::string("TokenStreamException ").size());
    }
    EXPECT_EQ(entries.size(), 1u);
}

// ---------------------------------------------------------------- silent stop

TEST(ConfigReaderStop, StraySemicolonLineEndsReadingSilently)
{
    ParseResult r = parse("A=1;\n;\nB=2;\n");
    EXPECT_FALSE(r.raised) << r.error;
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_TRUE(r.stop.stopped);
    EXPECT_EQ(r.stop.line, 2);
    EXPECT_EQ(r.stop.column, 1);
}

TEST(ConfigReaderStop, NumberOrStringAtLineStartEndsReadingSilently)
{
    EXPECT_EQ(parse("A=1;\n5\nB=2;\n").entries.size(), 1u);
    EXPECT_EQ(parse("A=1;\n\"s\"\nB=2;\n").entries.size(), 1u);
    EXPECT_FALSE(parse("A=1;\n\"s\"\nB=2;\n").raised);
}

TEST(ConfigReaderStop, CompleteFileReportsNoStop)
{
    ParseResult r = parse("A=1;\n// end\n");
    EXPECT_FALSE(r.stop.stopped);
}

// ---------------------------------------------------------------- tokens

TEST(ConfigLexerTokens, KindsAndNumbers)
{
    EXPECT_EQ(token_types("a=1.5;"), (std::vector<int>{8, 9, 4, 10}));
    EXPECT_EQ(token_types("[2,\"s\"]\n// c\n"), (std::vector<int>{12, 5, 13, 11, 14, 7, 6}));
    EXPECT_EQ(CfgTokenTypes::WS, 18);
    EXPECT_EQ(CfgTokenTypes::DOUBLEQUOTE, 19);
    std::istringstream empty("");
    ConfigLexer lexer(empty);
    antlr::TokenBuffer buffer(lexer);
    ConfigParser parser(buffer);
    EXPECT_STREQ(parser.getTokenName(8), "identifier");
    EXPECT_STREQ(parser.getTokenName(9), "=");
    EXPECT_STREQ(parser.getTokenName(11), "string");
    EXPECT_STREQ(parser.getTokenName(16), "NUMBER (INTEGER OR REAL)");
}

TEST(ConfigLexerTokens, DecisionsIgnoreCaseTextsKeepIt)
{
    std::istringstream in("MiXeD=2.5E1");
    ConfigLexer lexer(in);
    antlr::RefToken key = lexer.nextToken();
    EXPECT_EQ(key->getText(), "MiXeD");
    lexer.nextToken();
    antlr::RefToken number = lexer.nextToken();
    EXPECT_EQ(number->getType(), CfgTokenTypes::REAL);
    EXPECT_EQ(number->getText(), "2.5E1");
}

// ---------------------------------------------------------------- long failing tokens

namespace {

// Counts the lexical reports without keeping them.
class ReportCounter : public std::streambuf {
public:
    long lines = 0;

protected:
    int overflow(int c) override
    {
        lines += c == '\n';
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        for (std::streamsize i = 0; i < n; ++i)
            lines += s[i] == '\n';
        return n;
    }
};

}  // namespace

TEST(ConfigReaderRecovery, LongFailingTokensAreReadInOnePass)
{
    // Each character of a run of digits before a point without digits after
    // it, and of a last line of slashes without a line feed, is reported and
    // skipped. Recovery used to rescan such a run from each of its
    // characters, about n * n / 2 characters for a run of n; now every
    // character is read a bounded number of times.
    const std::size_t n = 5000;
    const std::string text = "A=1;\n" + std::string(n, '7') + ".\n" + std::string(n, '/');
    ReportCounter counter;
    std::streambuf* kept = std::cerr.rdbuf(&counter);
    std::istringstream in(text);
    std::vector<ConfigEntry> entries;
    ConfigStop stop;
    EXPECT_NO_THROW(parse_config(in, entries, "", &stop));
    std::cerr.rdbuf(kept);
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_FALSE(stop.stopped);
    EXPECT_EQ(counter.lines, static_cast<long>(2 * n + 1));
    EXPECT_GE(stop.scanned, text.size());
    EXPECT_LE(stop.scanned, 4 * text.size()) << stop.scanned;

    // The count holds also when the parse raises.
    std::istringstream broken("A=1;\n" + std::string(n, '/') + "\nB");
    ConfigStop raised;
    EXPECT_THROW(parse_config(broken, entries, "", &raised), Exception);
    EXPECT_GE(raised.scanned, n);
}

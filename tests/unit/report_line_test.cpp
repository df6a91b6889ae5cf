// The reader of the host's report line, fed in pieces: the number, or why what came is no report.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "report_line.h"

using hook_control_internal::ReportLine;

namespace {

// Feeds `output` to a reader in pieces of `piece` bytes.
ReportLine read(const std::string& output, size_t piece)
{
    ReportLine line;
    for (size_t at = 0; at < output.size(); at += piece)
        line.take(output.data() + at, std::min(piece, output.size() - at));
    return line;
}

TEST(ReportLine, ReadsTheNumberWithEitherLineEndInAnyPieces)
{
    const struct {
        const char* output;
        int32_t number;
    } cases[] = {{"Adding hook for 42\n", 42},
                 {"Adding hook for 42\r\n", 42},
                 {"Adding hook for -7\r\n", -7},
                 {"Adding hook for 0\n", 0},
                 {"Adding hook for 2147483647\r\n", INT32_MAX},
                 {"Adding hook for -2147483648\r\n", INT32_MIN}};
    for (const auto& c : cases) {
        for (size_t piece : {1, 2, 5, 64}) {
            const ReportLine line = read(c.output, piece);
            EXPECT_EQ(line.state(), ReportLine::State::read) << c.output << " in pieces of " << piece;
            EXPECT_EQ(line.number(), c.number) << c.output;
        }
    }
}

TEST(ReportLine, WaitsForTheLineEndAndLooksAtNothingAfterIt)
{
    ReportLine line;
    EXPECT_EQ(line.take("Adding hook for 12", 18), ReportLine::State::incomplete);
    EXPECT_EQ(line.take("", 0), ReportLine::State::incomplete);
    EXPECT_EQ(line.take("3\r", 2), ReportLine::State::incomplete);
    EXPECT_EQ(line.take("\nAdding hook for 9\n", 19), ReportLine::State::read);
    EXPECT_EQ(line.take("garbage\n", 8), ReportLine::State::read);
    EXPECT_EQ(line.number(), 123);
}

TEST(ReportLine, RefusesAnythingButAReportLine)
{
    for (const char* output :
         {"42\n", "Adding hook for \n", "Adding hook for -\n", "Adding hook for 4x2\n", "Adding hook for +5\n",
          "Adding hook for 42 \n", "adding hook for 42\n", "Adding hook for 2147483648\n",
          "Adding hook for -2147483649\n", "Adding hook for 99999999999999999999999\n", "\n", "\r\n"}) {
        EXPECT_EQ(read(output, 1).state(), ReportLine::State::malformed) << output;
        EXPECT_EQ(read(output, 64).state(), ReportLine::State::malformed) << output;
    }
}

TEST(ReportLine, RefusesALineLongerThanAnyReportWithoutWaitingForItsEnd)
{
    const std::string endless(1000, 'A');
    ReportLine line;
    EXPECT_EQ(line.take(endless.data(), endless.size()), ReportLine::State::malformed);
    const std::string shown = line.text();
    EXPECT_EQ(shown.rfind("AAAA", 0), 0U) << shown;
    EXPECT_LT(shown.size(), 48U);
}

TEST(ReportLine, SaysWhatCameInsteadWithNonPrintableBytesReplaced)
{
    const ReportLine line = read("Hello\t\x01\xff world\r\n", 3);
    EXPECT_EQ(line.state(), ReportLine::State::malformed);
    EXPECT_STREQ(line.text(), "Hello??? world?");
}

} // namespace

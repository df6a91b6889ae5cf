// The number reader: atol's rules, and the signed 32-bit range saturated.
#include <gtest/gtest.h>

#include "hook_value.h"

namespace {

struct Case {
    const char* text;
    int32_t value;
};

void expect_reads(std::initializer_list<Case> cases)
{
    for (const Case& c : cases)
        EXPECT_EQ(read_hook_value(c.text), c.value) << "reading \"" << c.text << "\"";
}

TEST(HookValue, ReadsSignedDecimal)
{
    expect_reads({{"42", 42}, {"-7", -7}, {"+15", 15}, {"0", 0}, {"-0", 0}, {"007", 7}});
}

TEST(HookValue, SkipsLeadingWhiteSpaceAndIgnoresWhatFollowsTheDigits)
{
    expect_reads({{"  42abc", 42}, {"\t\n\v\f\r9", 9}, {"12 34", 12}, {"5-3", 5}, {"0x10", 0}, {"1e3", 1}});
}

TEST(HookValue, ReadsZeroWhereThereAreNoDigits)
{
    expect_reads({{"", 0}, {"abc", 0}, {"*", 0}, {"-", 0}, {"+", 0}, {"+-5", 0}, {"- 5", 0}, {"   ", 0}});
}

TEST(HookValue, KeepsTheWholeSigned32BitRange)
{
    expect_reads({{"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}, {"-2147483647", -INT32_MAX}});
}

TEST(HookValue, SaturatesOutsideTheSigned32BitRange)
{
    expect_reads({{"2147483648", INT32_MAX},
                  {"-2147483649", INT32_MIN},
                  {"99999999999", INT32_MAX},
                  {"-99999999999", INT32_MIN},
                  {"4294967296", INT32_MAX},
                  {"9223372036854775808", INT32_MAX},
                  {"-99999999999999999999999999", INT32_MIN},
                  {"  +000000000000000000000000000012x", 12}});
}

} // namespace

// hook_control's last error's text: kept whole, bytes that are not UTF-8 written as their values, paths cut.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "last_error.h"

using namespace hook_control_internal;

namespace {

std::string kept(const std::string& text)
{
    EXPECT_EQ(failed(no_reason, "%s", text.c_str()), HOOK_HOST_FAILED);
    return hook_host_last_error();
}

// Whether `part`, a prefix of `whole`, ends where a character ends.
bool ends_at_a_boundary(const std::string& part, const std::string& whole)
{
    return whole.compare(0, part.size(), part) == 0 &&
           (part.size() == whole.size() || (static_cast<unsigned char>(whole[part.size()]) & 0xC0) != 0x80);
}

// is_utf8 is checked by the same cases: what is kept as it is, and what is not.
TEST(LastError, KeepsValidTextAndWritesEveryByteThatIsNotUtf8AsItsValue)
{
    const char valid[] = "cannot start C:\\Hosts\\h\xC3\xB4te\\hook_host.exe \xF0\x9F\x98\x80";
    EXPECT_EQ(kept(valid), valid);
    EXPECT_TRUE(is_utf8(valid));
    EXPECT_TRUE(is_utf8(""));
    const struct {
        const char* given;
        const char* kept;
    } cases[] = {
        {"a\xFF"
         "b",
         "a\\xFFb"},                                  // no UTF-8 byte at all (Latin-1, say)
        {"\xE9t\xE9", "\\xE9t\\xE9"},                 // a lead byte without its continuation
        {"\x80", "\\x80"},                            // a continuation without its lead
        {"\xC0\xAF", "\\xC0\\xAF"},                   // an overlong '/'
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},          // a surrogate (a Windows name's lone half)
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"}, // past U+10FFFF
        {"end \xE2\x82", "end \\xE2\\x82"},           // cut short
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kept(c.given), c.kept) << c.given;
        EXPECT_FALSE(is_utf8(c.given)) << c.given;
    }
}

TEST(LastError, CutsALongTextWhereACharacterEnds)
{
    for (const std::string character : {"e", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}) {
        std::string whole;
        while (whole.size() < 1000)
            whole += character;
        const std::string text = kept(whole);
        EXPECT_LE(text.size(), 511U);
        EXPECT_GT(text.size(), 507U);
        EXPECT_TRUE(ends_at_a_boundary(text, whole)) << character;
    }
}

TEST(LastError, APathIsShownWholeUpTo160BytesAndElseWithItsEnd)
{
    EXPECT_STREQ(path_text("C:\\Hosts\\hook_host.exe").text, "C:\\Hosts\\hook_host.exe");
    EXPECT_STREQ(path_text("").text, "");
    const std::string exact(160, 'a');
    EXPECT_EQ(path_text(exact.c_str()).text, exact);
    for (const std::string character : {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF"}) {
        std::string path = "C:\\";
        while (path.size() < 400)
            path += character;
        path += "\\hook_host.exe";
        const std::string shown = path_text(path.c_str()).text;
        EXPECT_LE(shown.size(), 160U) << character;
        EXPECT_GT(shown.size(), 150U) << character;
        EXPECT_EQ(shown.substr(0, 3), "...");
        EXPECT_EQ(shown.substr(shown.size() - 14), "\\hook_host.exe");
        if (character != "\xFF")
            EXPECT_NE(static_cast<unsigned char>(shown[3]) & 0xC0, 0x80U) << "cut where a character starts";
        else
            EXPECT_EQ(shown.substr(3, 4), "\\xFF");
    }
}

TEST(LastError, TheReasonAndTheErrorNumberAfterTheLongestPathAreKept)
{
    const std::string path = "Z:\\" + std::string(5000, 'x') + "\xE9\\hook_host.exe";
    failed(no_reason, "cannot start %s: %s (error %lu)", path_text(path.c_str()).text,
           "The filename or extension is too long. The filename or extension is too long. The filename or extension "
           "is too long. The filename or extension is too long. The filename or extension is too long. The filename "
           "or extension is too long. The filename or extension is too long. The filename",
           206UL);
    const std::string text = hook_host_last_error();
    EXPECT_EQ(text.substr(text.size() - 11), "(error 206)");
    EXPECT_NE(text.find("x\\xE9\\hook_host.exe: The filename"), std::string::npos) << text;
}

} // namespace

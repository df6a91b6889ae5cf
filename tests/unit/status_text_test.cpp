// hook_host_status_text: what the loader's, the dynamic linker's and a crash's statuses mean; none for a close's.
#include <gtest/gtest.h>

#include <signal.h>
#include <string>

#include "hook_control.h"

namespace {

std::string text(int64_t status)
{
    return hook_host_status_text(static_cast<int32_t>(status));
}

#ifdef _WIN32
// The loader's refusals say what to look for; a crash says it was one.
TEST(StatusText, TellsTheLoadersRefusalsAndTheCommonCrashes)
{
    EXPECT_NE(text(0xC0000135).find("hook library, or a library it needs, was not found"), std::string::npos);
    // A library of the wrong architecture, as Windows refuses it and as Wine does.
    EXPECT_NE(text(0xC000007B).find("wrong architecture"), std::string::npos);
    EXPECT_NE(text(0xC0000135).find("under Wine is of the wrong architecture"), std::string::npos);
    EXPECT_NE(text(0xC0000139).find("entry"), std::string::npos);
    EXPECT_NE(text(0xC0000142).find("DllMain"), std::string::npos);
    const int64_t crashes[] = {0xC0000005, 0xC000001D, 0xC0000094, 0xC00000FD,
                               0xC0000374, 0x80000003, 0xC0000409, 0xE06D7363};
    for (const int64_t crash : crashes) {
        EXPECT_EQ(text(crash).rfind("crashed: ", 0) == 0 || text(crash).rfind("ended at once", 0) == 0, true)
            << std::hex << crash << ": " << text(crash);
    }
    EXPECT_NE(text(0xC000013A).find("console"), std::string::npos);
}

// A close may choose any status; those this platform gives no meaning of its own have no text,
// Linux's among them.
TEST(StatusText, SaysNothingOfAStatusAClosePicks)
{
    const int64_t statuses[] = {0, 1, 7, 127, 255, 259, -1, -9, -11, 0x7FFFFFFF, 0x80000000, 0xC0000000, 0xC0000134};
    for (const int64_t status : statuses)
        EXPECT_EQ(text(status), "") << std::hex << status;
}
#else
TEST(StatusText, TellsTheDynamicLinkersRefusalAndDeathsBySignal)
{
    EXPECT_NE(text(127).find("dynamic linker"), std::string::npos);
    EXPECT_EQ(text(-11), "crashed: an invalid memory access (SIGSEGV)");
    EXPECT_EQ(text(-9), "killed (SIGKILL)");
    EXPECT_NE(text(-6).find("SIGABRT"), std::string::npos);
    EXPECT_EQ(text(-SIGRTMIN), "ended by a signal");
    EXPECT_EQ(text(-SIGRTMAX), "ended by a signal");
}

// Here a status is 8 bits, and a signal is never a status: Windows' codes, and a shell's 128 plus
// the signal, are statuses a close chose.
TEST(StatusText, SaysNothingOfAStatusAClosePicks)
{
    const int64_t statuses[] = {0, 1, 7, 126, 128, 139, 255, -SIGRTMAX - 1, -256, 0xC0000135, 0xC0000005};
    for (const int64_t status : statuses)
        EXPECT_EQ(text(status), "") << status;
}
#endif

} // namespace

// The close wait against a scripted queue: what each poll finds, and what the wait did.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "close_message.h"
#include "close_wait.h"
#include "platform.h"

namespace {

constexpr uint32_t wm_quit = 0x0012;
constexpr uint32_t wm_user = 0x0400;

struct Poll {
    bool removed;
    platform::Message message;
};

std::deque<Poll> script;         // what each poll finds, in order
std::vector<std::string> events; // what the wait did, in order

Poll message(uint32_t kind, uint64_t wparam = 0)
{
    return {true, {kind, wparam}};
}

Poll nothing()
{
    return {false, {}};
}

// Runs the wait over `polls`; a wait that polls past the script fails the test.
int32_t wait_over(std::initializer_list<Poll> polls)
{
    script = polls;
    events.clear();
    return close_wait();
}

std::vector<std::string> cycles(size_t count)
{
    std::vector<std::string> expected;
    for (size_t i = 0; i < count; ++i) {
        expected.push_back("poll");
        expected.push_back("pause 100");
    }
    return expected;
}

} // namespace

bool platform::poll(Message& record)
{
    events.push_back("poll");
    if (script.empty()) {
        ADD_FAILURE() << "the wait polled past the script";
        record = {wm_close, 0xDEAD};
        return true;
    }
    const Poll next = script.front();
    script.pop_front();
    // A poll that removes nothing may still leave the record scribbled on.
    record = next.removed ? next.message : platform::Message{wm_close, 0xBAD};
    return next.removed;
}

void platform::pause(unsigned milliseconds)
{
    events.push_back("pause " + std::to_string(milliseconds));
}

TEST(CloseWait, ReturnsTheLow32BitsOfWParamAsSigned)
{
    EXPECT_EQ(wait_over({message(wm_close, 3)}), 3);
    EXPECT_EQ(wait_over({message(wm_close, 0)}), 0);
    EXPECT_EQ(wait_over({message(wm_close, 0xABCD'0000'0000'0005)}), 5);
    EXPECT_EQ(wait_over({message(wm_close, 0xFFFF'FFFF)}), -1);
    EXPECT_EQ(wait_over({message(wm_close, 0x1'FFFF'FFFF)}), -1);
    EXPECT_EQ(wait_over({message(wm_close, 0x8000'0000)}), INT32_MIN);
    EXPECT_EQ(wait_over({message(wm_close, 0x7FFF'FFFF)}), INT32_MAX);
}

TEST(CloseWait, PausesAfterEveryPollTheLastOneToo)
{
    wait_over({message(wm_close, 1)});
    EXPECT_EQ(events, cycles(1));
}

TEST(CloseWait, RemovesOneMessageACycleAndDropsAllButClose)
{
    EXPECT_EQ(wait_over({message(wm_user), message(wm_quit), message(0), message(wm_close + 1, 4),
                         message(0xFFFF'FFFF, 4), message(wm_close, 6)}),
              6);
    EXPECT_EQ(events, cycles(6));
}

TEST(CloseWait, GoesOnWhileTheQueueIsEmpty)
{
    std::deque<Poll> polls(250, nothing());
    polls.push_back(message(wm_close, 2));
    script = polls;
    events.clear();
    EXPECT_EQ(close_wait(), 2);
    EXPECT_EQ(events, cycles(251));
}

TEST(CloseWait, NeverEndsOnARecordThatNoPollFilled)
{
    EXPECT_EQ(wait_over({nothing(), message(wm_user, 8), nothing(), message(wm_close, 7)}), 7);
    EXPECT_EQ(events, cycles(4));
}

TEST(CloseWait, TheFirstOfTwoClosesDecides)
{
    EXPECT_EQ(wait_over({message(wm_close, 1), message(wm_close, 2)}), 1);
    EXPECT_EQ(script.size(), 1u);
    EXPECT_EQ(events, cycles(1));
}

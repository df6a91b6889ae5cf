// hook_control's algorithms against the fake platform: what each call gives, and at what moment.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "hook_control.h"

using namespace hook_control_internal;

namespace {

const char report_42[] = "Adding hook for 42\r\n";
const char no_host_text[] = "process 1234 closed its standard output without a report line (it is not a hook host)";

// A host started over `process` at moment 0, released with the test.
class Started {
public:
    explicit Started(Process& process)
    {
        fake::now = fake::origin;
        fake::next = &process;
        EXPECT_EQ(hook_host_start("host", 42, 0, &host_), HOOK_HOST_OK);
    }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;
    ~Started()
    {
        hook_host_release(host_);
    }
    operator hook_host*() const
    {
        return host_;
    }

private:
    hook_host* host_ = nullptr;
};

// What a call gave, when, and why where it failed.
struct Answer {
    hook_host_result result;
    uint64_t at;
    std::string why;
    int32_t value;
};

bool operator==(const Answer& a, const Answer& b)
{
    return a.result == b.result && a.at == b.at && a.why == b.why && a.value == b.value;
}

std::ostream& operator<<(std::ostream& out, const Answer& a)
{
    return out << "{" << a.result << " at " << a.at << " ms, '" << a.why << "', " << a.value << "}";
}

// What a call gave, at the moment of a test's it gave it; why, where it failed or found the host gone;
// what it stored, where it succeeded.
Answer answer(hook_host_result result, int32_t value = 0)
{
    const bool said = result == HOOK_HOST_FAILED || result == HOOK_HOST_GONE;
    return {result, fake::now - fake::origin, said ? hook_host_last_error() : "", result == HOOK_HOST_OK ? value : 0};
}

// What the platform says `status` means, as a gone host's text adds it.
std::string meaning(int32_t status)
{
    const std::string text = hook_host_status_text(status);
    return text.empty() ? "" : ": " + text;
}

// What a call stored, checked to be nothing where it did not succeed.
constexpr int32_t untouched = -12345;

Answer report(hook_host* host, uint32_t timeout_ms)
{
    int32_t number = untouched;
    const hook_host_result result = hook_host_wait_report(host, timeout_ms, &number);
    if (result != HOOK_HOST_OK)
        EXPECT_EQ(number, untouched) << "stored on " << result;
    return answer(result, number);
}

Answer wait(hook_host* host, uint32_t timeout_ms)
{
    int32_t status = untouched;
    const hook_host_result result = hook_host_wait(host, timeout_ms, &status);
    if (result != HOOK_HOST_OK)
        EXPECT_EQ(status, untouched) << "stored on " << result;
    return answer(result, status);
}

Answer close(hook_host* host, uint32_t status)
{
    return answer(hook_host_close(host, status));
}

TEST(HookControl, TheReportLineIsReadInItsPiecesAndGivenAgainAtOnce)
{
    Process process;
    process.output = {{100, "Adding hook "}, {250, "for 42\r\n"}};
    const Started host(process);
    EXPECT_EQ(report(host, 200), (Answer{HOOK_HOST_TIMEOUT, 200, "", 0}));
    EXPECT_EQ(report(host, 1000), (Answer{HOOK_HOST_OK, 250, "", 42}));
    EXPECT_EQ(report(host, 0), (Answer{HOOK_HOST_OK, 250, "", 42}));
    EXPECT_EQ(hook_host_wait_report(host, 0, nullptr), HOOK_HOST_OK) << "nowhere to store it: nothing stored";
}

// A program that closes its output without a line at 300 ms and runs on is given until 1,300 ms to
// end; no call waits past its time meanwhile, and the verdict, once reached, is given at once.
TEST(HookControl, AProgramThatClosesItsOutputAndRunsOnIsNoHostOnceItsSecondIsOver)
{
    const struct {
        uint32_t timeout_ms;
        Answer first;
    } cases[] = {
        {100, {HOOK_HOST_TIMEOUT, 100, "", 0}},
        {1000, {HOOK_HOST_TIMEOUT, 1000, "", 0}},
        {1300, {HOOK_HOST_FAILED, 1300, no_host_text, 0}},
        {5000, {HOOK_HOST_FAILED, 1300, no_host_text, 0}},
        {HOOK_HOST_NO_LIMIT, {HOOK_HOST_FAILED, 1300, no_host_text, 0}},
    };
    for (const auto& c : cases) {
        Process process;
        process.output_closes_at = 300;
        const Started host(process);
        EXPECT_EQ(report(host, c.timeout_ms), c.first) << c.timeout_ms;
        EXPECT_EQ(report(host, 10000), (Answer{HOOK_HOST_FAILED, 1300, no_host_text, 0})) << c.timeout_ms;
        EXPECT_EQ(report(host, HOOK_HOST_NO_LIMIT), (Answer{HOOK_HOST_FAILED, 1300, no_host_text, 0}));
        EXPECT_EQ(close(host, 3), (Answer{HOOK_HOST_FAILED, 1300, no_host_text, 0}));
        EXPECT_EQ(wait(host, 0), (Answer{HOOK_HOST_TIMEOUT, 1300, "", 0}));
        EXPECT_TRUE(process.closes.empty()) << "nothing posted to what is no host";
    }
}

TEST(HookControl, AHostThatEndsWithoutALineIsGoneAtItsEndWithItsStatusThereAtOnce)
{
    const std::string ended_127 = "process 1234 has ended with status 127" + meaning(127);
    const struct {
        const char* what;
        uint64_t output_closes_at;
    } cases[] = {{"its output closes with it", 800},
                 {"its output closes first", 300},
                 {"another process holds its output", fake::never}};
    for (const auto& c : cases) {
        Process process;
        process.output_closes_at = c.output_closes_at;
        process.ends_at = 800;
        process.status = 127;
        const Started host(process);
        EXPECT_EQ(report(host, 10000), (Answer{HOOK_HOST_GONE, 800, ended_127, 0})) << c.what;
        EXPECT_EQ(close(host, 3), (Answer{HOOK_HOST_GONE, 800, ended_127, 0})) << c.what;
        EXPECT_EQ(wait(host, 0), (Answer{HOOK_HOST_OK, 800, "", 127})) << c.what;
        EXPECT_TRUE(process.closes.empty());
    }
}

// A gone host's status is said as its platform writes it, with its meaning where the system chose it;
// where it cannot be read at once, that is said, and nothing is waited for.
TEST(HookControl, AGoneHostIsSaidWithItsStatusAndWhatItMeans)
{
    const struct {
        int32_t status;
        uint64_t status_from;
        bool lost;
        std::string why;
    } cases[] = {
        {-9, 0, false, "process 1234 has ended with status -9" + meaning(-9)},
        {7, 0, false, "process 1234 has ended with status 7"},
        {static_cast<int32_t>(0xC0000135), 0, false,
         "process 1234 has ended with status 0xC0000135" + meaning(static_cast<int32_t>(0xC0000135))},
        {0, 5000, false, "process 1234 has ended; its status cannot be read yet (a tracer holds it)"},
        {0, 0, true, "process 1234 has ended; its status cannot be read"},
    };
    for (const auto& c : cases) {
        Process process;
        process.output_closes_at = 100;
        process.ends_at = 100;
        process.status = c.status;
        process.status_from = c.status_from;
        process.status_lost = c.lost;
        const Started host(process);
        EXPECT_EQ(report(host, 10000), (Answer{HOOK_HOST_GONE, 100, c.why, 0}));
    }
}

TEST(HookControl, AFirstLineThatIsNoReportIsRefusedAtOnceOnEveryCall)
{
    Process process;
    process.output = {{50, "Hello\tworld\n"}};
    const Started host(process);
    const Answer refused{HOOK_HOST_FAILED, 50, "process 1234 is not a hook host: its first line is 'Hello?world'", 0};
    EXPECT_EQ(report(host, 10000), refused);
    EXPECT_EQ(report(host, 10000), refused);
    EXPECT_EQ(close(host, 3), refused);
    EXPECT_TRUE(process.closes.empty());
}

TEST(HookControl, ACloseWaitsForTheLineAndPostsOnceToALiveHostOnly)
{
    Process reporting;
    reporting.output = {{400, report_42}};
    const Started early(reporting);
    EXPECT_EQ(close(early, 7), (Answer{HOOK_HOST_OK, 400, "", 0}));
    EXPECT_EQ(reporting.closes, std::vector<uint32_t>{7});

    Process silent;
    silent.output = {{20000, report_42}};
    const Started late(silent);
    EXPECT_EQ(close(late, 7), (Answer{HOOK_HOST_TIMEOUT, HOOK_HOST_CLOSE_REPORT_MS, "", 0}));
    EXPECT_TRUE(silent.closes.empty());

    // The line's time is the close's to the end, however much of its second a closed output has left.
    Process closing_late;
    closing_late.output_closes_at = 9500;
    const Started late_close(closing_late);
    EXPECT_EQ(close(late_close, 7), (Answer{HOOK_HOST_TIMEOUT, 10000, "", 0}));
    EXPECT_EQ(close(late_close, 7), (Answer{HOOK_HOST_FAILED, 10500, no_host_text, 0}));
    EXPECT_TRUE(closing_late.closes.empty());

    // Whoever has its id once the host has ended is not the host.
    Process ended;
    ended.output = {{10, report_42}};
    ended.ends_at = 10;
    const Started gone(ended);
    EXPECT_EQ(close(gone, 7), (Answer{HOOK_HOST_GONE, 10, "process 1234 has ended with status 0", 0}));
    EXPECT_TRUE(ended.closes.empty());
}

// The host reported at 10 ms; its queue refuses the close. Without a queue it may be ending, and it is
// given a second to end; any other refusal is said at once.
TEST(HookControl, ARefusedCloseIsGoneWhereTheHostEndsAndElseSaysWhy)
{
    const char prefix[] = "cannot post to process 1234: ";
    const struct {
        Post refusal;
        uint64_t ends_at;
        Answer expected;
    } cases[] = {
        {Post::no_queue, 500, {HOOK_HOST_GONE, 500, "process 1234 has ended with status 0", 0}},
        {Post::no_queue,
         fake::never,
         {HOOK_HOST_FAILED, 1010,
          std::string(prefix) + "not a hook host (its main thread has no message queue): system error 1444", 0}},
        {Post::not_its_own, 900, {HOOK_HOST_GONE, 900, "process 1234 has ended with status 0", 0}},
        {Post::queue_full,
         500,
         {HOOK_HOST_FAILED, 10, std::string(prefix) + "its message queue is full: system error 1444", 0}},
        {Post::denied,
         fake::never,
         {HOOK_HOST_FAILED, 10, std::string(prefix) + "access denied: system error 1444", 0}},
    };
    for (const auto& c : cases) {
        Process process;
        process.output = {{10, report_42}};
        process.refusal = c.refusal;
        process.ends_at = c.ends_at;
        const Started host(process);
        EXPECT_EQ(close(host, 7), c.expected) << static_cast<int>(c.refusal);
    }
}

TEST(HookControl, AWaitEndsAtItsTimeOrAtTheEndAndKeepsWhatItFound)
{
    Process process;
    process.ends_at = 700;
    process.status = 5;
    const Started host(process);
    EXPECT_EQ(wait(host, 300), (Answer{HOOK_HOST_TIMEOUT, 300, "", 0}));
    EXPECT_EQ(wait(host, HOOK_HOST_NO_LIMIT), (Answer{HOOK_HOST_OK, 700, "", 5}));
    process.status = 6; // taken once
    EXPECT_EQ(wait(host, 0), (Answer{HOOK_HOST_OK, 700, "", 5}));
    EXPECT_EQ(hook_host_wait(host, 0, nullptr), HOOK_HOST_OK) << "nowhere to store it: nothing stored";

    Process stolen;
    stolen.ends_at = 100;
    stolen.status_lost = true;
    const Started lost(stolen);
    for (int call = 0; call < 2; ++call) {
        const Answer got = wait(lost, 10000);
        EXPECT_EQ((std::make_pair(got.result, got.at)), std::make_pair(HOOK_HOST_FAILED, uint64_t{100}));
        EXPECT_NE(got.why.find("it was taken by a wait of the controller's own"), std::string::npos) << got.why;
    }
}

void told(void*) { }

// The calls on a host that a handle alone does not make: each by its name, with what it gives where it
// is refused.
const struct {
    const char* call;
    int64_t (*make)(hook_host*, int32_t&);
    int64_t refused;
} refusable_calls[] = {
    {"hook_host_wait_report", [](hook_host* h, int32_t& v) -> int64_t { return hook_host_wait_report(h, 0, &v); },
     HOOK_HOST_FAILED},
    {"hook_host_close", [](hook_host* h, int32_t&) -> int64_t { return hook_host_close(h, 0); }, HOOK_HOST_FAILED},
    {"hook_host_wait", [](hook_host* h, int32_t& v) -> int64_t { return hook_host_wait(h, 0, &v); }, HOOK_HOST_FAILED},
    {"hook_host_waitable", [](hook_host* h, int32_t&) -> int64_t { return hook_host_waitable(h); }, -1},
    {"hook_host_watch", [](hook_host* h, int32_t& v) -> int64_t { return hook_host_watch(h, told, &v); },
     HOOK_HOST_FAILED},
    {"hook_host_unwatch", [](hook_host* h, int32_t& v) -> int64_t { return hook_host_unwatch(h, told, &v); },
     HOOK_HOST_FAILED},
};

TEST(HookControl, EveryCallOnANullHandleFailsAndSaysSo)
{
    int32_t value = untouched;
    for (const auto& c : refusable_calls) {
        failed(no_reason, "before");
        EXPECT_EQ(c.make(nullptr, value), c.refused) << c.call;
        EXPECT_EQ(hook_host_last_error(), std::string(c.call) + ": no host (the handle is NULL)");
    }
    failed(no_reason, "before");
    EXPECT_EQ(hook_host_process_id(nullptr), 0U);
    EXPECT_STREQ(hook_host_last_error(), "hook_host_process_id: no host (the handle is NULL)");
    EXPECT_EQ(value, untouched);
    hook_host_release(nullptr);
}

// A handle copied into a forked child: there the host is another process's, which that process's
// calls neither read, post to, wait for nor end.
TEST(HookControl, InAForkOnlyTheHostsIdAndAReleaseOfMemoryServe)
{
    Process process;
    process.output = {{10, report_42}};
    fake::now = fake::origin;
    fake::next = &process;
    hook_host* host = nullptr;
    ASSERT_EQ(hook_host_start("host", 42, 0, &host), HOOK_HOST_OK);
    fake::process_id = 101;
    int32_t value = untouched;
    for (const auto& c : refusable_calls) {
        EXPECT_EQ(c.make(host, value), c.refused) << c.call;
        EXPECT_EQ(hook_host_last_error(), std::string(c.call) +
                                              ": host 1234 belongs to process 100, which started it; process 101 (a "
                                              "fork of it) may only release it, which ends nothing");
    }
    EXPECT_EQ(value, untouched);
    EXPECT_EQ(hook_host_process_id(host), 1234U);
    hook_host_release(host);
    EXPECT_TRUE(process.forgotten);
    EXPECT_FALSE(process.released) << "nothing of the host's is ended";
    EXPECT_TRUE(process.closes.empty());
    EXPECT_TRUE(process.output.size() == 1) << "nothing of its output is read";
    fake::process_id = 100;
}

TEST(HookControl, AWatchIsOneForEachCallbackAndContextAndEndsByItsUnwatchOrTheRelease)
{
    Process process;
    {
        const Started host(process);
        int one = 0;
        int other = 0;
        EXPECT_EQ(hook_host_watch(host, told, &one), HOOK_HOST_OK);
        EXPECT_EQ(hook_host_watch(host, told, &other), HOOK_HOST_OK);
        EXPECT_EQ(hook_host_watch(host, told, &one), HOOK_HOST_FAILED);
        EXPECT_STREQ(hook_host_last_error(),
                     "hook_host_watch: process 1234 is watched already with this callback and context");
        EXPECT_EQ(hook_host_watch(host, nullptr, &one), HOOK_HOST_FAILED);
        EXPECT_STREQ(hook_host_last_error(), "hook_host_watch: no callback");
        EXPECT_EQ(hook_host_unwatch(host, told, &one), HOOK_HOST_OK);
        EXPECT_EQ(process.watchers.size(), 1U);
        EXPECT_EQ(hook_host_unwatch(host, told, &one), HOOK_HOST_OK) << "nothing left to end";
        EXPECT_EQ(hook_host_watch(host, told, &one), HOOK_HOST_OK) << "made anew once ended";
    }
    EXPECT_TRUE(process.released) << "after its watches were ended";
}

// A tracer that takes the host's end at 3,000 ms, long after its end at 100 ms: its end is signalled,
// but no wait outlasts its time meanwhile, and one with time enough gives the status soon after.
TEST(HookControl, AStatusThatATracerHoldsIsLookedForWithinTheWaitsTimeOnly)
{
    Process process;
    process.ends_at = 100;
    process.status_from = 3000;
    process.status = 4;
    const Started host(process);
    EXPECT_EQ(wait(host, 0), (Answer{HOOK_HOST_TIMEOUT, 0, "", 0}));
    EXPECT_EQ(wait(host, 1000), (Answer{HOOK_HOST_TIMEOUT, 1000, "", 0}));
    EXPECT_EQ(wait(host, 0), (Answer{HOOK_HOST_TIMEOUT, 1000, "", 0}));
    const Answer got = wait(host, 10000);
    EXPECT_EQ(std::make_pair(got.result, got.value), std::make_pair(HOOK_HOST_OK, int32_t{4}));
    EXPECT_GE(got.at, 3000U);
    EXPECT_LE(got.at, 3050U) << "looked for again at least every 50 ms";
    EXPECT_EQ(wait(host, 0), (Answer{HOOK_HOST_OK, got.at, "", 4}));
}

// Where a system call fails, the call says which and why, with the system's reason.
TEST(HookControl, ASystemCallThatFailsIsSaidWithItsReason)
{
    const struct {
        const char* what;
        void (*script)(Process&);
        Answer (*call)(hook_host*);
        const char* why;
    } cases[] = {
        {"a read of the output", [](Process& p) { p.read_fails_at = 300; },
         [](hook_host* h) { return report(h, 1000); }, "cannot read the report line of process 1234: system error 5"},
        {"a wait for the end while the output is closed",
         [](Process& p) {
             p.output_closes_at = 300;
             p.end_wait_fails = true;
         },
         [](hook_host* h) { return report(h, 1000); },
         "cannot wait for the report line of process 1234: system error 5"},
        {"a wait for the end", [](Process& p) { p.end_wait_fails = true; }, [](hook_host* h) { return wait(h, 1000); },
         "cannot wait for process 1234: system error 5"},
        {"the taking of the status",
         [](Process& p) {
             p.ends_at = 100;
             p.status_fails = true;
         },
         [](hook_host* h) { return wait(h, 1000); }, "cannot read the exit status of process 1234: system error 5"},
    };
    for (const auto& c : cases) {
        Process process;
        c.script(process);
        const Started host(process);
        const Answer got = c.call(host);
        EXPECT_EQ(got.result, HOOK_HOST_FAILED) << c.what;
        EXPECT_EQ(got.why, c.why) << c.what;
    }
}

TEST(HookControl, AStartRefusedOrFailedLeavesNoHost)
{
    Process process;
    const struct {
        const char* path;
        uint32_t flags;
        const char* why;
        unsigned long code; // left as the thread's system error
    } cases[] = {
        {nullptr, 0, "hook_host_start: no path, or nowhere to store the host", 0},
        {"host", 0x6, "hook_host_start: unknown flags 0x6", 0},
        {"", 0, "cannot start '': the path is empty", 0},
        {"h\xF4te", 0, "cannot start h\\xF4te: the path is not UTF-8", 0},
        {"missing", 0, "cannot start missing: system error 2", 2}, // the platform's own failure
    };
    int other = 0;
    for (const auto& c : cases) {
        hook_host* host = reinterpret_cast<hook_host*>(&other); // what the start must overwrite
        fake::next = c.path && std::string(c.path) == "missing" ? nullptr : &process;
        EXPECT_EQ(hook_host_start(c.path, 1, c.flags, &host), HOOK_HOST_FAILED) << c.why;
        EXPECT_EQ(host, nullptr) << c.why;
        EXPECT_STREQ(hook_host_last_error(), c.why);
        EXPECT_EQ(fake::system_error, c.code) << c.why;
        fake::system_error = 99;
    }
    EXPECT_EQ(hook_host_start("host", 1, 0, nullptr), HOOK_HOST_FAILED);
    fake::next = nullptr;
}

TEST(HookControl, AReleaseFreesTheProcessAndAHandleGivesItsIdAndWaitable)
{
    Process process;
    {
        const Started host(process);
        EXPECT_EQ(hook_host_process_id(host), 1234U);
        EXPECT_EQ(hook_host_waitable(host), 77);
    }
    EXPECT_TRUE(process.released);
}

TEST(HookControl, APostToAProcessIsGoneWhereThereIsNoneOrItHasEnded)
{
    const struct {
        uint32_t process_id;
        Post found;
        bool ended;
        hook_host_result result;
        const char* why;
    } cases[] = {
        {0, Post::sent, false, HOOK_HOST_GONE, "cannot post to process 0: there is no such process"},
        {5, Post::sent, false, HOOK_HOST_OK, ""},
        {5, Post::no_process, false, HOOK_HOST_GONE, "cannot post to process 5: there is no such process"},
        {5, Post::no_queue, true, HOOK_HOST_GONE, "cannot post to process 5: there is no such process"},
        {5, Post::not_its_own, true, HOOK_HOST_GONE, "cannot post to process 5: there is no such process"},
        {5, Post::no_queue, false, HOOK_HOST_FAILED,
         "cannot post to process 5: not a hook host (its main thread has no message queue): system error 5"},
        {5, Post::denied, true, HOOK_HOST_FAILED, "cannot post to process 5: access denied: system error 5"},
    };
    for (const auto& c : cases) {
        fake::post_refusal = c.found;
        fake::ended_by_id = c.ended;
        EXPECT_EQ(hook_host_post(c.process_id, 0x10, 3, 0), c.result) << c.why;
        if (c.result != HOOK_HOST_OK)
            EXPECT_STREQ(hook_host_last_error(), c.why);
    }
    fake::post_refusal = Post::sent;
    fake::ended_by_id = false;
}

} // namespace

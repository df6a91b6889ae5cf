// The library's thread, and the one that calls the watches' callbacks. The hazards, each with its
// answer:
// - A host's pidfd polls readable before its status can be taken where a tracer takes its end first,
//   and stays readable: such a host is polled no more, and looked at again every 20 ms, with WNOWAIT
//   where its status is left to the caller's wait.
// - A host's death signal follows the thread that cloned it, so hosts are cloned on a thread that
//   runs no code of the application's: a callback, which may block or wait for a thread that starts a
//   host, runs on a second thread, made while there are callbacks to call, with signals blocked too.
// - A callback may make any call: it is called with the lock let go, one at a time; an unwatch or a
//   release from within it waits for nothing, and takes out of those due the watches it ends.
// - Another thread's unwatch or release must not return while the callback it ends runs: it waits
//   for the one being called.
// - A forked child gets copies of the descriptors the thread holds, and a copy of its lock as it was:
//   the lock is held across the fork, so that the child finds the lists whole, closes what they hold,
//   and starts afresh.
#include "start_and_reap_thread_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "pidfd_linux.h"
#include "proc_linux.h"

namespace hook_control_internal {

namespace {

// How often the library's thread looks whether it is the last thread of the process.
constexpr int alone_check_ms = 1000;

// How often it looks again for a status that a tracer holds (its end is signalled, and stays so).
constexpr int held_status_check_ms = 20;

// Starts hosts on its thread, one at a time, and watches each until it ends: it calls the watches'
// callbacks once its status can be taken, and reaps it where it was released.
class StartAndReapThread {
public:
    Started start(Child& child)
    {
        std::unique_lock<std::mutex> held(lock_);
        Started started;
        Job job{&child, started};
        changed_.wait(held, [this] { return job_ == nullptr; });
        if ((started.error = run_thread()) != 0)
            return started;
        job_ = &job;
        wake();
        changed_.wait(held, [&job] { return job.done; });
        job_ = nullptr;
        changed_.notify_all();
        return started;
    }

    bool take_over(uint64_t serial, int pidfd)
    {
        const std::lock_guard<std::mutex> held(lock_);
        Watched* watched = find_or_add(serial, pidfd);
        if (watched)
            watched->reap = true;
        return watched != nullptr;
    }

    int watch(uint64_t serial, int pidfd, hook_host_ended ended, void* context)
    {
        const std::lock_guard<std::mutex> held(lock_);
        Watched* watched = find_or_add(serial, pidfd);
        if (!watched)
            return errno;
        for (const Callback& callback : watched->callbacks)
            if (callback.ended == ended && callback.context == context)
                return EEXIST;
        watched->callbacks.push_back(Callback{ended, context});
        wake(); // for a host that has ended, which is not polled
        return 0;
    }

    void unwatch(uint64_t serial, hook_host_ended ended, void* context)
    {
        std::unique_lock<std::mutex> held(lock_);
        for (Watched& watched : watched_)
            for (size_t i = watched.callbacks.size(); i-- > 0;)
                if (matches(Firing{watched.serial, watched.callbacks[i]}, serial, ended, context))
                    watched.callbacks.erase(watched.callbacks.begin() + static_cast<ptrdiff_t>(i));
        for (size_t i = due_.size(); i-- > 0;)
            if (matches(due_[i], serial, ended, context))
                due_.erase(due_.begin() + static_cast<ptrdiff_t>(i));
        // A callback under way is waited for, unless this is the thread that runs it.
        changed_.wait(held, [&] { return on_caller() || !calling_ || !matches(called_, serial, ended, context); });
    }

    // Around a fork: the lock is held across it, so that the child finds the lists whole.
    void hold()
    {
        lock_.lock();
    }

    void let_go()
    {
        lock_.unlock();
    }

    // In a forked child, whose copy of this is held and whose threads are gone: closes the parent's
    // descriptors. The copy is left as it is, its lock held, never used again.
    void close_in_child()
    {
        for (const Watched& watched : watched_)
            close(watched.pidfd);
        for (const int descriptor : {wake_, stat_})
            if (descriptor >= 0)
                close(descriptor);
    }

private:
    struct Job {
        Child* child;
        Started& started;
        bool done = false;
    };
    struct Callback {
        hook_host_ended ended;
        void* context;
    };
    struct Watched {
        uint64_t serial;
        int pidfd; // a copy of the host's own
        bool reap;
        bool ended;                      // its end is signalled: it is polled no more
        std::vector<Callback> callbacks; // to be called once its status can be taken
    };
    struct Firing {
        uint64_t serial;
        Callback callback;
    };

    // Whether `firing` is the watch named (any of the host's, for a null `ended`).
    static bool matches(const Firing& firing, uint64_t serial, hook_host_ended ended, void* context)
    {
        return firing.serial == serial &&
               (!ended || (firing.callback.ended == ended && firing.callback.context == context));
    }

    bool on_caller() const
    {
        return caller_running_ && pthread_equal(pthread_self(), caller_);
    }

    void wake() const
    {
        const uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0) { } // already due to wake: the count is not full
    }

    // The entry of the host of `serial`; where the thread watches it no more (it has ended), a new one
    // with a copy of `pidfd`, the thread made where it has ended. Null with errno where it cannot be.
    Watched* find_or_add(uint64_t serial, int pidfd)
    {
        for (Watched& watched : watched_)
            if (watched.serial == serial)
                return &watched;
        const int error = run_thread();
        if (error != 0) {
            errno = error;
            return nullptr;
        }
        const int copy = fcntl(pidfd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (copy < 0)
            return nullptr;
        watched_.push_back(Watched{serial, copy, false, false, {}});
        wake();
        return &watched_.back();
    }

    // Makes the thread where it has ended; 0 or why not.
    int run_thread()
    {
        if (wake_ < 0 && (wake_ = above_standard(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))) < 0)
            return errno;
        // Without /proc (a chroot, a small container) the thread cannot tell that it is the last one,
        // and lasts while a host runs.
        if (stat_ < 0)
            stat_ = above_standard(open("/proc/self/stat", O_RDONLY | O_CLOEXEC));
        if (running_)
            return 0;
        const int error = make_thread(thread_, serve);
        running_ = error == 0;
        return error;
    }

    // Makes the callbacks' thread where there are callbacks to call and it is not running; where it
    // cannot be made, the library's thread tries again shortly.
    void run_caller()
    {
        if (due_.empty() || caller_running_)
            return;
        caller_running_ = make_thread(caller_, call) == 0;
    }

    // Makes a detached thread that runs `body` on this; 0 or why not.
    int make_thread(pthread_t& thread, void* (*body)(void*))
    {
        // A new thread starts with its maker's mask: with all blocked, no handler of the controller's
        // ever runs on it, not even before it runs, nor in the children it clones.
        sigset_t all;
        sigset_t callers;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &callers);
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        const int error = pthread_create(&thread, &attributes, body, this);
        pthread_attr_destroy(&attributes);
        pthread_sigmask(SIG_SETMASK, &callers, nullptr);
        return error;
    }

    static void* serve(void* thread)
    {
        static_cast<StartAndReapThread*>(thread)->serve();
        return nullptr;
    }

    static void* call(void* thread)
    {
        static_cast<StartAndReapThread*>(thread)->call_due();
        return nullptr;
    }

    void serve()
    {
        std::unique_lock<std::mutex> held(lock_);
        for (;;) {
            if (job_ && !job_->done) {
                run(*job_);
                changed_.notify_all();
                continue;
            }
            const bool uncalled = !due_.empty() && !caller_running_; // its thread could not be made
            if (watched_.empty() && !uncalled) {
                running_ = false;
                return;
            }
            // The hosts still running, by their serials; those whose end is signalled are looked at on a
            // timer, as their pidfds stay readable.
            std::vector<pollfd> ready(1, pollfd{wake_, POLLIN, 0});
            std::vector<uint64_t> polled;
            bool held_ends = false;
            for (const Watched& watched : watched_) {
                held_ends = held_ends || watched.ended;
                if (!watched.ended) {
                    ready.push_back(pollfd{watched.pidfd, POLLIN, 0});
                    polled.push_back(watched.serial);
                }
            }
            held.unlock();
            const int count =
                poll(ready.data(), ready.size(), held_ends || uncalled ? held_status_check_ms : alone_check_ms);
            if (count == 0 && alone(stat_)) {
                held.lock();
                running_ = false;
                return; // the process ends with it, as it would have without it
            }
            held.lock();
            uint64_t wakes = 0;
            if (read(wake_, &wakes, sizeof wakes) < 0) { } // nothing to take: woken by a host's end
            for (size_t i = 0; i < polled.size(); ++i)
                for (Watched& watched : watched_)
                    if (watched.serial == polled[i] && ready[i + 1].revents != 0)
                        watched.ended = true;
            tell_ends();
            run_caller();
        }
    }

    // Makes due the callbacks of every host whose status can be taken now, reaps the released ones,
    // and watches none of them any more.
    void tell_ends()
    {
        for (size_t i = watched_.size(); i-- > 0;) {
            Watched& watched = watched_[i];
            if (!watched.ended)
                continue;
            siginfo_t info{};
            // A peek that leaves the status for the caller's wait, unless the host was released.
            const int options = WNOHANG | (watched.reap ? 0 : WNOWAIT);
            const int taken = take_status(watched.pidfd, info, options);
            if (taken == 0 && info.si_pid == 0)
                continue; // a tracer holds it still
            for (const Callback& callback : watched.callbacks)
                due_.push_back(Firing{watched.serial, callback});
            close(watched.pidfd);
            watched_.erase(watched_.begin() + static_cast<ptrdiff_t>(i));
        }
    }

    // The callbacks' thread: calls those due one at a time, with the lock let go (a callback may
    // unwatch those still due), and ends once none is left.
    void call_due()
    {
        std::unique_lock<std::mutex> held(lock_);
        while (!due_.empty()) {
            called_ = due_.front();
            due_.erase(due_.begin());
            calling_ = true;
            const Callback callback = called_.callback;
            held.unlock();
            callback.ended(callback.context);
            held.lock();
            calling_ = false;
            changed_.notify_all();
        }
        caller_running_ = false;
    }

    void run(Job& job)
    {
        Started& started = job.started;
        job.done = true;
        const int pidfd = clone_child(*job.child, started.pid);
        if (pidfd < 0) {
            started.error = -pidfd;
            return;
        }
        // Two copies of the pidfd above the standard descriptors, where the controller's own may come:
        // the host's, and one this thread watches, so that it lasts while the host runs, for its death
        // signal.
        const int kept = fcntl(pidfd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        const int watched = kept < 0 ? -1 : fcntl(pidfd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        const int error = errno;
        if (watched < 0 || job.child->failed_step) {
            for (const int copy : {kept, watched})
                if (copy >= 0)
                    close(copy);
            end_and_reap(pidfd, job.child->failed_step == nullptr);
            started.error = job.child->failed_step ? 0 : error;
            return;
        }
        close(pidfd);
        started.serial = ++serials_;
        watched_.push_back(Watched{started.serial, watched, false, false, {}});
        started.pidfd = kept;
    }

    // Ends, where `kill`, and reaps the child behind `pidfd`, and closes it.
    static void end_and_reap(int pidfd, bool kill)
    {
        if (kill)
            pidfd_kill(pidfd);
        siginfo_t info;
        take_status(pidfd, info);
        close(pidfd);
    }

    std::mutex lock_;
    std::condition_variable changed_;
    Job* job_ = nullptr;
    std::vector<Watched> watched_;
    std::vector<Firing> due_; // the callbacks to call now
    Firing called_{};         // the one being called, while `calling_`, with the lock let go
    bool calling_ = false;
    int wake_ = -1; // an eventfd: a job is due, or a watch was added
    int stat_ = -1; // the process's /proc/self/stat, for alone(); -1 without /proc
    uint64_t serials_ = 0;
    bool running_ = false;
    pthread_t thread_{};
    bool caller_running_ = false;
    pthread_t caller_{};
};

StartAndReapThread* current_thread = nullptr;

void before_fork()
{
    current_thread->hold();
}

void after_fork_in_parent()
{
    current_thread->let_go();
}

// A forked child of the controller has no library thread: it starts one of its own when it needs it,
// and keeps nothing of its parent's.
void after_fork_in_child()
{
    current_thread->close_in_child();
    current_thread = new StartAndReapThread;
}

StartAndReapThread& library_thread()
{
    static const bool made = [] {
        current_thread = new StartAndReapThread;
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        return true;
    }();
    static_cast<void>(made);
    return *current_thread;
}

} // namespace

Started start_on_library_thread(Child& child)
{
    return library_thread().start(child);
}

bool reap_when_ended(uint64_t serial, int pidfd)
{
    return library_thread().take_over(serial, pidfd);
}

int watch_when_ended(uint64_t serial, int pidfd, hook_host_ended ended, void* context)
{
    return library_thread().watch(serial, pidfd, ended, context);
}

void unwatch(uint64_t serial, hook_host_ended ended, void* context)
{
    library_thread().unwatch(serial, ended, context);
}

} // namespace hook_control_internal

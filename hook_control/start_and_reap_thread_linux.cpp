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

// Starts hosts on its thread, one at a time, and watches each until it ends, reaping those released.
class StartAndReapThread {
public:
    Started start(Child& child)
    {
        std::unique_lock<std::mutex> held(lock_);
        changed_.wait(held, [this] { return job_ == nullptr; });
        Started started;
        if ((started.error = run_thread()) != 0)
            return started;
        Job job{&child, started};
        job_ = &job;
        const uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0) { } // already due to wake: the count is not full
        changed_.wait(held, [&job] { return job.done; });
        job_ = nullptr;
        changed_.notify_all();
        return started;
    }

    bool take_over(uint64_t serial)
    {
        const std::lock_guard<std::mutex> held(lock_);
        for (Watched& watched : watched_)
            if (watched.serial == serial)
                return watched.reap = true;
        return false;
    }

private:
    struct Job {
        Child* child;
        Started& started;
        bool done = false;
    };
    struct Watched {
        uint64_t serial;
        int pidfd; // a copy of the host's own
        bool reap;
    };

    // Makes the thread where it has ended; 0 or why not.
    int run_thread()
    {
        if (wake_ < 0 && (wake_ = above_standard(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))) < 0)
            return errno;
        if (stat_ < 0 && (stat_ = above_standard(open("/proc/self/stat", O_RDONLY | O_CLOEXEC))) < 0)
            return errno;
        if (running_)
            return 0;
        // A new thread starts with its maker's mask: with all blocked, no handler of the controller's
        // ever runs on it, not even before it runs, nor in the children it clones.
        sigset_t all;
        sigset_t callers;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &callers);
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        const int error = pthread_create(&thread, &attributes, serve, this);
        pthread_attr_destroy(&attributes);
        pthread_sigmask(SIG_SETMASK, &callers, nullptr);
        running_ = error == 0;
        return error;
    }

    static void* serve(void* thread)
    {
        static_cast<StartAndReapThread*>(thread)->serve();
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
            if (watched_.empty()) {
                running_ = false;
                return;
            }
            std::vector<pollfd> ready(1, pollfd{wake_, POLLIN, 0});
            for (const Watched& watched : watched_)
                ready.push_back(pollfd{watched.pidfd, POLLIN, 0});
            held.unlock();
            const int count = poll(ready.data(), ready.size(), alone_check_ms);
            if (count == 0 && alone(stat_)) {
                held.lock();
                running_ = false;
                return; // the process ends with it, as it would have without it
            }
            held.lock();
            uint64_t wakes = 0;
            if (read(wake_, &wakes, sizeof wakes) < 0) { } // nothing to take: woken by a host's end
            // Only this thread adds or removes what it watches: ready[i + 1] is still watched_[i].
            for (size_t i = watched_.size(); i-- > 0;)
                if (ready[i + 1].revents != 0)
                    end_watch(i);
        }
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
        watched_.push_back(Watched{started.serial, watched, false});
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

    void end_watch(size_t index)
    {
        const Watched watched = watched_[index];
        if (watched.reap) {
            siginfo_t info;
            take_status(watched.pidfd, info, WNOHANG);
        }
        close(watched.pidfd);
        watched_.erase(watched_.begin() + static_cast<ptrdiff_t>(index));
    }

    std::mutex lock_;
    std::condition_variable changed_;
    Job* job_ = nullptr;
    std::vector<Watched> watched_;
    int wake_ = -1; // an eventfd: a job is due
    int stat_ = -1; // the process's /proc/self/stat, for alone()
    uint64_t serials_ = 0;
    bool running_ = false;
};

StartAndReapThread* current_thread = nullptr;

// A forked child of the controller has no library thread: it starts one of its own when it needs it.
void after_fork()
{
    // The parent's is left as it was: its lock may be held, its list half changed. What it holds
    // open is closed by the child's exec.
    current_thread = new StartAndReapThread;
}

StartAndReapThread& library_thread()
{
    static const bool made = [] {
        current_thread = new StartAndReapThread;
        pthread_atfork(nullptr, nullptr, after_fork);
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

bool reap_when_ended(uint64_t serial)
{
    return library_thread().take_over(serial);
}

} // namespace hook_control_internal

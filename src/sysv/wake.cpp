// SPDX-License-Identifier: LGPL-2.1-or-later
// Futex sleeps on a header word, and condition notifications handed to a background thread.
#include "internal/sysv/wake.h"
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <pthread.h>
#include <unistd.h>

#include "internal/frame_count_wake.h"

namespace sysv_double_buffer::detail {

namespace ipc = boost::interprocess;

namespace {

// Longest single sleep: bounds how late a publication by a writer that does not wake the word
// is noticed.
constexpr long slice_us = 5000;

} // namespace

void wait_for_word_change(const std::uint32_t* word, std::uint32_t seen,
                          const boost::posix_time::ptime& deadline) {
    while (__atomic_load_n(word, __ATOMIC_ACQUIRE) == seen) {
        long sleep_us = slice_us;
        if (!deadline.is_special()) {
            const auto left = deadline - boost::posix_time::microsec_clock::universal_time();
            if (left.is_negative() || left.total_microseconds() == 0) {
                return;
            }
            sleep_us = std::min<long>(sleep_us, left.total_microseconds());
        }
        zorvgst::detail::sleep_while_word_is(word, seen, std::chrono::microseconds(sleep_us));
    }
}

void wake_word_waiters(const std::uint32_t* word) {
    zorvgst::detail::wake_publication_readers(word);
}

namespace {

// One thread per process notifies on behalf of every writer. Requests for the same condition
// coalesce, so a stalled notification costs one entry, not a growing queue.
class background_notifier {
public:
    background_notifier() {
        // A child forked while the thread held the lock would otherwise inherit it locked. It
        // also inherits the condition with the parent's thread counted as a waiter: a thread
        // that is not there, which the child's first notifications would wait for forever.
        ::pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                         [] {
                             background_notifier& notifier = instance();
                             new (&notifier.wake_) std::condition_variable();
                             notifier.mutex_.unlock();
                         });
    }

    static background_notifier& instance() {
        // Never destroyed: the detached thread may still be running at exit.
        static background_notifier* const notifier = new background_notifier();
        return *notifier;
    }

    void request(const std::string& condition_name) {
        std::unique_lock<std::mutex> lock(mutex_);
        // A forked child inherits the state but not the thread.
        if (thread_pid_ != ::getpid()) {
            thread_pid_ = ::getpid();
            pending_.clear();
            std::thread([this] { run(); }).detach();
        }
        pending_.insert(condition_name);
        wake_.notify_one();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            wake_.wait(lock, [this] { return !pending_.empty(); });
            const std::set<std::string> names = std::move(pending_);
            pending_.clear();
            lock.unlock();
            for (const std::string& name : names) {
                // Opened afresh each time: a buffer removed and made again has a new condition.
                try {
                    ipc::named_condition condition(ipc::open_only, name.c_str());
                    condition.notify_all();
                } catch (const ipc::interprocess_exception&) {
                    // Removed meanwhile: nobody left to wake. Nothing is logged from this thread,
                    // which may still run while the host's loggers are destroyed at exit.
                }
            }
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::set<std::string> pending_;
    pid_t thread_pid_ = 0;
};

} // namespace

void notify_condition_in_background(const std::string& condition_name) {
    background_notifier::instance().request(condition_name);
}

} // namespace sysv_double_buffer::detail

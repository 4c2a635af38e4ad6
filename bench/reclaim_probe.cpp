// SPDX-License-Identifier: LGPL-2.1-or-later
// Kills a reader that holds frames of a ring and times how long its leases outlive it.
//
//   zorv_reclaim_probe <ring name | -> <kill after s> <timeout s> <holder command...>
//
// Starts the holder command (a reader whose downstream keeps its buffers), waits until `kill
// after` seconds have passed and the ring's reader table shows the holder with frames, kills it
// with SIGKILL and reaps it at once, as a shell or supervisor would: a killed process that is not
// reaped yet still exists, and its leases rightly stay. It then reads the ring's report
// (describe_ring) every millisecond until no lease names the holder, for at most `timeout`
// seconds, and leases a frame itself. With "-" instead of a ring (a transport without leases) it
// only kills and reaps. The result is one JSON line on stdout; the holder's own goes nowhere.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <log4cxx/logger.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>

#include "process_timing.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvreclaim");

namespace {

using zorvbench::monotonic_ns;

// Looking for the holder's frames before the kill need not be quick; timing the reclaim must.
constexpr auto holder_poll_interval = std::chrono::milliseconds(10);
constexpr auto reclaim_poll_interval = std::chrono::milliseconds(1);

bool parse_seconds(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= 0;
}

std::int64_t nanoseconds(double seconds) {
    return static_cast<std::int64_t>(seconds * 1e9);
}

double milliseconds_between(std::int64_t from_ns, std::int64_t to_ns) {
    return static_cast<double>(to_ns - from_ns) / 1e6;
}

// The holder in a child process, killed and reaped when this object goes, however the probe ends.
class holder_process {
public:
    explicit holder_process(char** command) {
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Not even a crash of this probe leaves the holder behind.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                _exit(127);
            }
            // This probe's standard output carries its result only.
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) {
                ::dup2(null, STDOUT_FILENO);
                ::close(null);
            }
            ::execvp(command[0], command);
            _exit(127);
        }
    }
    ~holder_process() { kill_and_reap(); }
    holder_process(const holder_process&) = delete;
    holder_process& operator=(const holder_process&) = delete;

    pid_t pid() const { return pid_; }
    bool running() {
        if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) != 0) {
            pid_ = -1; // reaped, or not ours: its pid may name another process from now on
        }
        return pid_ > 0;
    }

    void kill_and_reap() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

// Frames the ring's report shows `pid` holding; nothing when the report cannot be read.
std::optional<unsigned> leases_of(const std::string& ring, pid_t pid) {
    const std::optional<zorvgst::ring_report> report = zorvgst::describe_ring(ring);
    if (!report || !report->consistent) {
        return std::nullopt;
    }
    for (const zorvgst::lease_holder& holder : report->holders) {
        if (holder.pid == pid) {
            return holder.leases;
        }
    }
    return 0u;
}

// Whether a reader of this process can lease a frame of the ring within a second.
bool can_lease(const std::string& ring) {
    zorvgst::frame_reader reader(ring);
    const std::int64_t deadline = monotonic_ns() + nanoseconds(1.0);
    while (monotonic_ns() < deadline) {
        if (reader.wait(std::chrono::milliseconds(100)) && reader.hold()) {
            return true;
        }
    }
    return false;
}

int fail(const char* why) {
    std::fprintf(stderr, "%s\n", why);
    std::printf("{\"role\": \"reclaim\", \"ok\": false}\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    logger->setLevel(log4cxx::Level::getOff());
    double kill_after = 0, timeout = 0;
    if (argc < 5 || !parse_seconds(argv[2], kill_after) || !parse_seconds(argv[3], timeout)) {
        std::fprintf(stderr, "usage: %s <ring name | -> <kill after s> <timeout s> <command...>\n",
                     argv[0]);
        return 2;
    }
    const std::string ring = argv[1];
    const bool watch = ring != "-";
    const std::int64_t start = monotonic_ns();
    try {
        holder_process holder(argv + 4);
        if (holder.pid() < 0) {
            return fail("cannot start the holder");
        }
        unsigned held = 0;
        while (true) {
            if (!holder.running()) {
                return fail("the holder ended before it was killed");
            }
            held = watch ? leases_of(ring, holder.pid()).value_or(0) : 0;
            const std::int64_t now = monotonic_ns();
            if (now >= start + nanoseconds(kill_after) && (!watch || held > 0)) {
                break;
            }
            if (now >= start + nanoseconds(kill_after + timeout)) {
                return fail("the holder never held a frame of the ring");
            }
            std::this_thread::sleep_for(holder_poll_interval);
        }
        const pid_t pid = holder.pid();
        const std::int64_t killed = monotonic_ns();
        holder.kill_and_reap();
        const std::int64_t reaped = monotonic_ns();
        std::optional<std::int64_t> reclaimed;
        while (watch && monotonic_ns() < killed + nanoseconds(timeout)) {
            if (leases_of(ring, pid) == 0u) {
                reclaimed = monotonic_ns();
                break;
            }
            std::this_thread::sleep_for(reclaim_poll_interval);
        }
        const bool lease_after = reclaimed && can_lease(ring);
        std::printf("{\"role\": \"reclaim\", \"ok\": %s, \"holder_pid\": %d, "
                    "\"leases_at_kill\": %u, \"killed_at_s\": %.3f, \"reaped_ms\": %.2f, "
                    "\"reclaimed_ms\": %.2f, \"lease_after\": %s}\n",
                    !watch || reclaimed ? "true" : "false", static_cast<int>(pid), held,
                    static_cast<double>(killed - start) / 1e9, milliseconds_between(killed, reaped),
                    reclaimed ? milliseconds_between(killed, *reclaimed) : -1.0,
                    lease_after ? "true" : "false");
        return !watch || reclaimed ? 0 : 1;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}

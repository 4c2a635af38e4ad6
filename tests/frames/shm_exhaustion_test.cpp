// SPDX-License-Identifier: LGPL-2.1-or-later
// Writers on a /dev/shm too small for their buffer, as in a container: an error, never SIGBUS.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/frames.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

#include "support/capture_appender.h"
#include "support/child_process.h"
#include "support/shm_guard.h"

namespace {

namespace bip = boost::interprocess;
using zorvtest::ShmGuard;

constexpr int child_passed = 0;
constexpr int child_failed = 1;
constexpr int child_cannot_isolate = 77;

// Half of the 64 MiB containers get by default: less than one 4K buffer.
constexpr std::uint64_t small_shm_bytes = 32 * 1024 * 1024;
const std::uint64_t uhd_bytes = compute_size(3840, 2160);

// Thrown in a child whose environment cannot be arranged: the test is skipped, not failed.
struct isolation_unavailable {
    std::string reason;
};

// What a child found wrong, gathered for its report.
struct findings_t {
    std::string text;
    void check(bool holds, const std::string& what) {
        if (!holds) {
            text += what + "\n";
        }
    }
};

struct child_outcome {
    int status;
    std::string report;
};

// Runs `body` in a forked child with a mount namespace of its own, whose /dev/shm is a fresh
// tmpfs of `small_shm_bytes`; whatever is made there goes with the child. gtest does not reach
// out of the child: `body` notes in its findings what it found wrong.
child_outcome run_with_small_dev_shm(const std::function<void(findings_t&)>& body,
                                     int more_namespaces) {
    int channel[2];
    if (pipe(channel) != 0) {
        return {child_failed, std::string("pipe: ") + std::strerror(errno)};
    }
    zorvtest::ChildProcess child([&] {
        close(channel[0]);
        std::string report;
        int status = child_cannot_isolate;
        const std::string tmpfs_options = "size=" + std::to_string(small_shm_bytes) + ",mode=1777";
        if (unshare(CLONE_NEWNS | more_namespaces) != 0) {
            report = std::string("cannot unshare namespaces: ") + std::strerror(errno);
        } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            report = std::string("cannot make mounts private: ") + std::strerror(errno);
        } else if (mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV,
                         tmpfs_options.c_str()) != 0) {
            report = std::string("cannot mount a tmpfs on /dev/shm: ") + std::strerror(errno);
        } else {
            try {
                findings_t found;
                body(found);
                report = found.text;
                status = report.empty() ? child_passed : child_failed;
            } catch (const isolation_unavailable& unavailable) {
                report = unavailable.reason;
            }
        }
        const ssize_t written = write(channel[1], report.data(), report.size());
        close(channel[1]);
        return written == static_cast<ssize_t>(report.size()) ? status : child_failed;
    });
    close(channel[1]);
    const int status = child.wait(std::chrono::seconds(30));
    std::string report;
    char chunk[512];
    for (ssize_t got; (got = read(channel[0], chunk, sizeof(chunk))) > 0;) {
        report.append(chunk, static_cast<std::size_t>(got));
    }
    close(channel[0]);
    if (status == -1) {
        report += "the child died of a signal (SIGBUS: an unbacked page written) or timed out";
    }
    return {status, report};
}

// Passes when `body`, run as run_with_small_dev_shm() runs it, finds nothing wrong; skipped where
// this machine cannot give a child a /dev/shm of its own.
void expect_passes_with_small_dev_shm(const std::function<void(findings_t&)>& body,
                                      int more_namespaces = 0) {
    const child_outcome outcome = run_with_small_dev_shm(body, more_namespaces);
    if (outcome.status == child_cannot_isolate) {
        GTEST_SKIP() << outcome.report;
    }
    EXPECT_EQ(outcome.status, child_passed) << outcome.report;
}

std::vector<std::string> dev_shm_entries() {
    std::vector<std::string> entries;
    if (DIR* dir = opendir("/dev/shm")) {
        while (const dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                entries.emplace_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    return entries;
}

std::vector<std::string> error_messages(const zorvtest::LogCapture& capture) {
    std::vector<std::string> messages;
    for (const auto& line : capture.lines()) {
        if (line.level == log4cxx::Level::ERROR_INT) {
            messages.push_back(line.message);
        }
    }
    return messages;
}

bool contains(const std::string& text, const std::string& fragment) {
    return text.find(fragment) != std::string::npos;
}

// The facts a shortage report must give, checked in a log line or an element message.
void check_shortage_facts(findings_t& found, const std::string& text) {
    found.check(contains(text, std::to_string(uhd_bytes) + " bytes needed"),
                "bytes needed not named: " + text);
    // The failed reservation gave back every page it had taken.
    found.check(contains(text, std::to_string(small_shm_bytes) + " bytes free in /dev/shm"),
                "bytes free not named: " + text);
    found.check(contains(text, "--shm-size"), "no --shm-size hint: " + text);
}

TEST(ShmExhaustion, PosixWriterTooLargeForDevShmFailsAndLeavesNothing) {
    ShmGuard guard;
    expect_passes_with_small_dev_shm([&](findings_t& found) {
        zorvtest::LogCapture capture;
        posix_double_buffer_t writer(guard.c_str(), bip::read_write, 3840, 2160);
        const auto errors = error_messages(capture);
        found.check(errors.size() == 1, std::to_string(errors.size()) + " error lines, not 1");
        for (const auto& message : errors) {
            check_shortage_facts(found, message);
        }
        found.check(!writer.is_valid(), "a 4K writer is valid on a 32 MiB /dev/shm");
        for (const auto& entry : dev_shm_entries()) {
            found.check(false, "left in /dev/shm: " + entry);
        }

        posix_double_buffer_t small(guard.c_str(), bip::read_write, 64, 64);
        found.check(small.is_valid(), "a 64x64 writer is not valid there");
        if (small.is_valid()) {
            small.grab_write_sem();
            std::memset(small.get_write_address(), 0x5a, 64 * 64 * 4);
            small.release_write_sem();
            found.check(small.get_header()->frame_count == 1, "the 64x64 frame was not published");
        }
        posix_double_buffer_t::remove(guard.c_str());
    });
}

TEST(ShmExhaustion, RingTooLargeForDevShmNamesBytesAndLeavesNothing) {
    ShmGuard guard;
    expect_passes_with_small_dev_shm([&](findings_t& found) {
        // Ten 1080p BGRA slots: more than the 32 MiB there.
        const auto format = zorvgst::frame_format::of("BGRA", 1920, 1080);
        try {
            zorvgst::frame_writer writer(guard.name(), format);
            found.check(false, "a 1080p ring was made on a 32 MiB /dev/shm");
        } catch (const zorvgst::error& refused) {
            const std::string text = refused.what();
            found.check(contains(text, " bytes needed"), "bytes needed not named: " + text);
            found.check(contains(text, std::to_string(small_shm_bytes) + " bytes free"),
                        "bytes free not named: " + text);
            found.check(refused.code() == zorvgst::error_code::no_space &&
                            refused.system_error() == ENOSPC,
                        "a shortage not coded no_space with ENOSPC: " + text);
        }
        // A double buffer that does not fit says the same in its code.
        try {
            zorvgst::frame_writer writer(guard.name(), 3840, 2160);
            found.check(false, "a 4K double buffer was made on a 32 MiB /dev/shm");
        } catch (const zorvgst::error& refused) {
            found.check(
                refused.code() == zorvgst::error_code::no_space && refused.system_error() == ENOSPC,
                std::string("a shortage not coded no_space with ENOSPC: ") + refused.what());
        }
        for (const auto& entry : dev_shm_entries()) {
            found.check(false, "left in /dev/shm: " + entry);
        }
        zorvgst::frame_writer small(guard.name(), zorvgst::frame_format::of("NV12", 64, 64));
        std::memset(small.frame(), 1, small.format().size);
        found.check(small.publish().number == 1, "the 64x64 frame was not published");
    });
}

TEST(ShmExhaustion, PosixObjectThatCannotBeBackedIsKeptAsItWas) {
    ShmGuard guard;
    expect_passes_with_small_dev_shm([&](findings_t& found) {
        // A smaller buffer to grow, and the sparse full-size object a writer killed by SIGBUS
        // leaves: neither is this writer's to remove, and neither may change size.
        for (const std::uint64_t initial : {compute_size(64, 64), uhd_bytes}) {
            const std::string path = "/" + guard.name();
            const int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0660);
            if (fd < 0 || ftruncate(fd, static_cast<off_t>(initial)) != 0) {
                found.check(false, std::string("cannot make the object: ") + std::strerror(errno));
                return;
            }
            const std::string size_text = std::to_string(initial) + " byte object: ";
            posix_double_buffer_t writer(guard.c_str(), bip::read_write, 3840, 2160);
            found.check(!writer.is_valid(), size_text + "a 4K writer is valid");
            struct stat after {};
            found.check(fstat(fd, &after) == 0 && after.st_nlink == 1, size_text + "removed");
            found.check(static_cast<std::uint64_t>(after.st_size) == initial,
                        size_text + "now of " + std::to_string(after.st_size) + " bytes");
            close(fd);
            shm_unlink(path.c_str());
        }
    });
}

TEST(ShmExhaustion, SysvSegmentOverLimitNamesBytesAndReasonAndRemovesKeyFile) {
    ShmGuard guard;
    expect_passes_with_small_dev_shm(
        [&](findings_t& found) {
            // A fresh IPC namespace has limits of its own to lower.
            const int limit = open("/proc/sys/kernel/shmmax", O_WRONLY);
            const std::string limit_text = std::to_string(small_shm_bytes);
            const bool limit_set =
                limit >= 0 && write(limit, limit_text.data(), limit_text.size()) > 0;
            const int limit_error = errno;
            if (limit >= 0) {
                close(limit);
            }
            if (!limit_set) {
                throw isolation_unavailable{std::string("cannot set kernel.shmmax: ") +
                                            std::strerror(limit_error)};
            }
            zorvtest::LogCapture capture;
            sysv_double_buffer::sysv_double_buffer_t writer(guard.c_str(), bip::read_write, 3840,
                                                            2160);
            const auto errors = error_messages(capture);
            found.check(errors.size() == 1, std::to_string(errors.size()) + " error lines, not 1");
            for (const auto& message : errors) {
                found.check(contains(message, std::to_string(uhd_bytes) + " Bytes"),
                            "bytes needed not named: " + message);
                found.check(contains(message, "kernel.shmmax = " + limit_text + " bytes"),
                            "reason not named: " + message);
            }
            found.check(!writer.is_valid(), "a 4K writer is valid over kernel.shmmax");
            found.check(access(guard.path().c_str(), F_OK) != 0, "the key file is left");
        },
        CLONE_NEWIPC);
}

TEST(ShmExhaustion, SinkPostsErrorInsteadOfCrashing) {
    ShmGuard guard;
    expect_passes_with_small_dev_shm([&](findings_t& found) {
        GError* error = nullptr;
        GstPlugin* plugin = gst_plugin_load_file(ZORVTEST_PLUGIN_DIR "/libgstzorvgst.so", &error);
        if (plugin == nullptr) {
            found.check(false, std::string("cannot load the plugin: ") + error->message);
            g_error_free(error);
            return;
        }
        gst_object_unref(plugin);
        GstElement* pipeline = gst_parse_launch(
            ("videotestsrc num-buffers=1 ! video/x-raw,format=BGRA,width=3840,height=2160 ! "
             "zorvdbsink buffer-name=" +
             guard.name())
                .c_str(),
            nullptr);
        if (pipeline == nullptr) {
            found.check(false, "cannot build the pipeline");
            return;
        }
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        GstBus* bus = gst_element_get_bus(pipeline);
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, 20 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
        found.check(message != nullptr && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR,
                    "the pipeline did not end with an error");
        if (message != nullptr && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            gchar* debug = nullptr;
            gst_message_parse_error(message, &error, &debug);
            check_shortage_facts(found, debug != nullptr ? debug : "");
            g_clear_error(&error);
            g_free(debug);
        }
        if (message != nullptr) {
            gst_message_unref(message);
        }
        gst_object_unref(bus);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
        found.check(access(guard.path().c_str(), F_OK) != 0, "the object is left");
    });
}

} // namespace

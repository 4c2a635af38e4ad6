// SPDX-License-Identifier: LGPL-2.1-or-later
// The zorvgst-shm CLI run as users run it: exit statuses, output, JSON and clean-up of buffers,
// double buffers and frame rings.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

#include "internal/process_liveness.h"
#include "support/child_process.h"
#include "support/command.h"
#include "support/owned_buffers.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

namespace bip = boost::interprocess;
using sysv_double_buffer::sysv_double_buffer_t;
using namespace std::chrono_literals;
using zorvtest::command_result;
using zorvtest::ShmGuard;

command_result cli(const std::vector<std::string>& args) {
    return zorvtest::run_command(ZORVGST_SHM_CLI, args, 20s);
}

std::size_t count_lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

/// The lines of `text` that mention `name`: what a command said about one buffer among whatever
/// else the shared directory holds.
std::string lines_naming(const std::string& text, const std::string& name) {
    std::string found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(name) != std::string::npos) {
            found += line + "\n";
        }
    }
    return found;
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const auto& arg : args) {
        text += arg + " ";
    }
    return text;
}

/// Publishes `frames` frames of 8x4 into a fresh buffer (of either backend) this process owns.
template <typename Writer> void publish(Writer& writer, int frames) {
    ASSERT_TRUE(writer.is_valid());
    for (int i = 0; i < frames; ++i) {
        writer.grab_write_sem();
        std::memset(writer.get_write_address(), i, 8 * 4 * 4);
        writer.release_write_sem();
    }
}

/// Parses `json` with Python's own parser and prints `expression` evaluated over it (as `d`),
/// so the test sees exactly what a machine consumer would.
command_result python_json(const std::string& json, const std::string& expression) {
    char path[] = "/tmp/zorvtest_json_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        return {};
    }
    close(fd);
    std::ofstream(path) << json;
    const auto result = zorvtest::run_command(
        "python3",
        {"-c", "import json,sys\nd=json.load(open(sys.argv[1]))\nprint(" + expression + ")", path},
        20s);
    std::remove(path);
    return result;
}

struct listed_fields {
    command_result json;   ///< `list --json` itself
    command_result fields; ///< the selected fields of the entries named as asked
};

/// Runs `list --json` and prints `fields` (Python over an entry `b`) of each entry named `name`,
/// as a list of tuples.
listed_fields list_fields(const std::string& name, const std::string& fields) {
    listed_fields listed;
    listed.json = cli({"list", "--json"});
    listed.fields = python_json(listed.json.out, "[(" + fields +
                                                     ") for b in d['buffers'] if "
                                                     "b['name'] == '" +
                                                     name + "']");
    return listed;
}

/// Why `expire` removes a buffer of `backend` whose writer `owner` has ended.
std::string owner_gone(const std::string& backend, pid_t owner) {
    return backend + ", owner " + std::to_string(owner) + " is gone";
}

/// `expire --dry-run`, then `expire`, over `orphan` and `kept`: both name `orphan` alone, for
/// `reason`; the dry run leaves it, the real one removes it, and neither touches `kept`.
void expect_expire_removes_only(const std::string& orphan, const std::string& reason,
                                const std::vector<std::string>& kept) {
    std::vector<std::string> args = {"expire", "--dry-run", orphan};
    args.insert(args.end(), kept.begin(), kept.end());
    const auto dry = cli(args);
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(dry.out, "would remove " + orphan + " (" + reason + ")\n");
    EXPECT_TRUE(zorvtest::object_exists(orphan));

    args.erase(args.begin() + 1);
    const auto wet = cli(args);
    EXPECT_EQ(wet.status, 0) << wet.err;
    EXPECT_EQ(wet.out, "removed " + orphan + " (" + reason + ")\n");
    EXPECT_FALSE(zorvtest::object_exists(orphan));
    for (const auto& name : kept) {
        EXPECT_TRUE(zorvtest::object_exists(name)) << name;
    }
}

// Usage errors: exit status 2, one line on standard error, nothing on standard output.
TEST(ZorvgstShmCli, UsageErrorsExitTwoWithOneLine) {
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"frobnicate"},
        {"list", "--bogus"},
        {"list", "extra_buffer"},
        {"list", "--dir"},
        {"show"},
        {"show", "a_buffer", "b_buffer"},
        {"remove"},
        {"watch", "a_buffer", "--count", "0"},
        {"watch", "a_buffer", "--count", "x"},
        {"watch", "a_buffer", "--interval", "-1"},
        {"expire", "--json=1"},
        {"--nope", "list"},
    };
    for (const auto& args : wrong) {
        const auto result = cli(args);
        std::string joined;
        for (const auto& a : args) {
            joined += a + " ";
        }
        EXPECT_EQ(result.status, 2) << joined;
        EXPECT_EQ(count_lines(result.err), 1u) << joined << ": " << result.err;
        EXPECT_EQ(result.err.rfind("zorvgst-shm: ", 0), 0u) << joined << ": " << result.err;
        EXPECT_TRUE(result.out.empty()) << joined << ": " << result.out;
    }
}

TEST(ZorvgstShmCli, HelpDescribesEachCommand) {
    const auto general = cli({"--help"});
    EXPECT_EQ(general.status, 0);
    for (const std::string command : {"list", "show", "remove", "expire", "watch"}) {
        EXPECT_NE(general.out.find("  " + command + " "), std::string::npos) << command;
        const auto specific = cli({command, "--help"});
        EXPECT_EQ(specific.status, 0) << command;
        EXPECT_EQ(specific.out.rfind("usage: zorvgst-shm " + command, 0), 0u) << specific.out;
        EXPECT_EQ(cli({"help", command}).out, specific.out);
    }
}

TEST(ZorvgstShmCli, ListShowsAPosixBufferWithItsHeader) {
    ShmGuard guard;
    double_buffer_t writer(guard.c_str(), bip::read_write, 8, 4);
    publish(writer, 3);

    const auto table = cli({"list"});
    ASSERT_EQ(table.status, 0) << table.err;
    std::string row;
    std::istringstream lines(table.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(guard.name() + " ", 0) == 0) {
            row = line;
        }
    }
    ASSERT_FALSE(row.empty()) << table.out;
    EXPECT_NE(row.find(" posix "), std::string::npos) << row;
    EXPECT_NE(row.find(" 8x4 "), std::string::npos) << row;
    EXPECT_NE(row.find(std::to_string(getpid()) + " (alive)"), std::string::npos) << row;
    EXPECT_NE(row.find(" 3 "), std::string::npos) << row;
    EXPECT_NE(row.find(" " + std::to_string(compute_size(8, 4))), std::string::npos) << row;

    const auto listed =
        list_fields(guard.name(), "b['backend'], b['ready'], b['width'], b['height'], "
                                  "b['owner_pid'], b['owner_alive'], b['frame_count'], "
                                  "b['size'], b['age_ms'] >= 0, b['last_write_time'] is not None");
    ASSERT_EQ(listed.json.status, 0) << listed.json.err;
    ASSERT_EQ(listed.fields.status, 0) << listed.fields.err << listed.json.out;
    EXPECT_EQ(listed.fields.out, "[('posix', True, 8, 4, " + std::to_string(getpid()) +
                                     ", True, 3, " + std::to_string(compute_size(8, 4)) +
                                     ", True, True)]\n");
}

TEST(ZorvgstShmCli, LibraryDebugLinesReachStandardErrorOnlyWithVerbose) {
    ShmGuard guard;
    double_buffer_t writer(guard.c_str(), bip::read_write, 8, 4);
    publish(writer, 1);
    const auto quiet = cli({"show", guard.name()});
    const auto verbose = cli({"show", guard.name(), "-v"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(verbose.status, 0);
    EXPECT_EQ(quiet.err.find(" DEBUG "), std::string::npos) << quiet.err;
    EXPECT_NE(verbose.err.find("zorvgst-shm: DEBUG "), std::string::npos) << verbose.err;
    // Library lines never mix into what scripts read.
    EXPECT_EQ(verbose.out, quiet.out.substr(0, quiet.out.find("frame age:")) +
                               verbose.out.substr(verbose.out.find("frame age:")));
}

TEST(ZorvgstShmCli, JsonStaysValidForAnyName) {
    ShmGuard guard("_q\"b\\s\t\xc3");
    double_buffer_t writer(guard.c_str(), bip::read_write, 8, 4);
    publish(writer, 1);

    const auto json = cli({"list", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const auto names = python_json(json.out, "sum(1 for b in d['buffers'] if '\"b\\\\s\\t' in "
                                             "b['name'] and b['frame_count'] == 1)");
    ASSERT_EQ(names.status, 0) << names.err << json.out;
    EXPECT_EQ(names.out, "1\n");

    const auto shown = cli({"show", guard.name(), "--json"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(python_json(shown.out, "d['frame_count'], d['width']").out, "1 8\n");
}

TEST(ZorvgstShmCli, CorruptHeadersAreReportedNotTrusted) {
    // A header claiming a huge frame in a small object, and a stranger's object of the right
    // name: both listed without a crash, neither with dimensions from the garbage.
    ShmGuard huge("_huge"), foreign("_foreign");
    std::vector<unsigned char> bytes(40 + 8 * 4 * 8, 0xff);
    ASSERT_TRUE(zorvtest::create_raw_object(huge.name(), bytes));
    ASSERT_TRUE(zorvtest::poke<std::uint32_t>(huge.name(), 0, 0));
    ASSERT_TRUE(zorvtest::create_raw_object(foreign.name(), std::vector<unsigned char>(64, 7)));

    const auto json = cli({"list", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const auto fields = python_json(
        json.out, "sorted((b['name'][-11:], b['ready'], b['width']) for b in d['buffers'] if "
                  "b['name'] in ('" +
                      huge.name() + "', '" + foreign.name() + "'))");
    ASSERT_EQ(fields.status, 0) << fields.err << json.out;
    // The huge header is readable as bytes but names no frame the object can hold: no reader
    // adopts it, and the report says the buffer is not ready.
    EXPECT_EQ(fields.out, "[('eign_buffer', False, 0), ('huge_buffer', False, 4294967295)]\n");

    const auto shown = cli({"show", foreign.name()});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("not a double buffer"), std::string::npos) << shown.out;
    const auto huge_shown = cli({"show", huge.name()});
    EXPECT_NE(huge_shown.out.find("does not fit the object"), std::string::npos) << huge_shown.out;
    EXPECT_NE(huge_shown.out.find("last write:      invalid"), std::string::npos) << huge_shown.out;
}

TEST(ZorvgstShmCli, ListDirTakesNamesFromThatDirectory) {
    ShmGuard guard;
    double_buffer_t writer(guard.c_str(), bip::read_write, 8, 4);
    publish(writer, 2);
    char dir[] = "/tmp/zorvtest_dir_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string entry = std::string(dir) + "/" + guard.name();
    std::ofstream(entry).close();

    const auto listed = cli({"list", "--json", "--dir", dir});
    const auto names = python_json(listed.out, "[b['name'] for b in d['buffers']]");
    std::remove(entry.c_str());
    const auto empty = cli({"list", "--dir", dir});
    rmdir(dir);

    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(names.out, "['" + guard.name() + "']\n") << listed.out;
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "no double buffers\n");

    const auto missing = cli({"list", "--dir", "/proc/self/status"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(count_lines(missing.err), 1u) << missing.err;
}

TEST(ZorvgstShmCli, ShowAndRemoveReportMissingBuffersWithStatusOne) {
    ShmGuard guard;
    for (const std::string command : {"show", "remove", "watch"}) {
        const auto result = cli({command, guard.name()});
        EXPECT_EQ(result.status, 1) << command;
        EXPECT_NE(result.err.find("no double buffer named '" + guard.name() + "'"),
                  std::string::npos)
            << result.err;
        EXPECT_FALSE(zorvtest::object_exists(guard.name())) << command << " created it";
    }
    EXPECT_EQ(cli({"show", "../etc/passwd"}).status, 1);
}

TEST(ZorvgstShmCli, LinksInTheSharedDirectoryAreNeverFollowed) {
    ShmGuard guard;
    char target[] = "/tmp/zorvtest_target_XXXXXX";
    const int fd = mkstemp(target);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, std::string(200, '\0').data(), 200), 200);
    close(fd);
    ASSERT_EQ(symlink(target, guard.path().c_str()), 0);

    const auto shown = cli({"show", guard.name()});
    const auto removed = cli({"remove", guard.name()});
    const auto listed = cli({"list"});
    struct stat st {};
    const bool target_kept = stat(target, &st) == 0 && st.st_size == 200;
    std::remove(target);

    EXPECT_EQ(shown.status, 1);
    EXPECT_EQ(removed.status, 1);
    EXPECT_TRUE(target_kept);
    EXPECT_EQ(listed.out.find(guard.name()), std::string::npos) << listed.out;
}

TEST(ZorvgstShmCli, RemoveDeletesTheObject) {
    ShmGuard guard;
    {
        double_buffer_t writer(guard.c_str(), bip::read_write, 8, 4);
        publish(writer, 1);
    }
    const auto shown = cli({"show", guard.name()});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("frame size:      8x4"), std::string::npos) << shown.out;

    const auto removed = cli({"remove", guard.name()});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.out, "removed " + guard.name() + " (posix)\n");
    EXPECT_FALSE(zorvtest::object_exists(guard.name()));
}

TEST(ZorvgstShmCli, ExpireRemovesOnlyBuffersOfDeadOwners) {
    ShmGuard orphan("_orphan"), alive("_alive"), unowned("_unowned");
    const pid_t gone = zorvtest::make_buffers_by_owner(orphan.name(), alive.name(), unowned.name());
    ASSERT_GT(gone, 0);
    expect_expire_removes_only(orphan.name(), owner_gone("posix", gone),
                               {alive.name(), unowned.name()});

    // A name given that is not there is reported; the others are still handled.
    const auto missing = cli({"expire", orphan.name(), alive.name()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no double buffer named '" + orphan.name() + "'"), std::string::npos)
        << missing.err;
}

TEST(ZorvgstShmCli, WatchReportsRateAndAgeThenStops) {
    ShmGuard guard;
    double_buffer_t writer(guard.c_str(), bip::read_write, 8, 4);
    publish(writer, 1);
    zorvtest::Command watch(ZORVGST_SHM_CLI,
                            {"watch", guard.name(), "--count", "3", "--interval", "0.3"});
    // Keep publishing while the watch samples, about 100 frames a second.
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < end && !watch.wait_for_output("frames", 10ms)) {
        publish(writer, 1);
    }
    while (std::chrono::steady_clock::now() < end) {
        publish(writer, 1);
        watch.wait_for_output("\n\n", 10ms); // never present: paces the loop while collecting
    }
    const auto result = watch.finish(5s);
    EXPECT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(count_lines(result.out), 3u) << result.out;
    std::istringstream lines(result.out);
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line); // the second sample lies entirely in the publishing period
    double fps = 0;
    ASSERT_EQ(std::sscanf(line.substr(line.find("fps")).c_str(), "fps %lf", &fps), 1) << line;
    EXPECT_GT(fps, 20.0) << line;
    EXPECT_LT(fps, 1000.0) << line;
    EXPECT_NE(line.find(" ms  frames "), std::string::npos) << line;
    EXPECT_NE(line.find("8x4"), std::string::npos) << line;
}

TEST(ZorvgstShmCli, WatchEndsPromptlyOnInterrupt) {
    ShmGuard guard;
    double_buffer_t writer(guard.c_str(), bip::read_write, 8, 4);
    publish(writer, 1);
    zorvtest::Command watch(ZORVGST_SHM_CLI, {"watch", guard.name()});
    ASSERT_TRUE(watch.wait_for_output("frames", 5s));
    const auto sent = std::chrono::steady_clock::now();
    watch.signal(SIGINT);
    const auto result = watch.finish(5s);
    EXPECT_EQ(result.status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 500ms);
}

bool segment_exists(key_t key) {
    return shmget(key, 0, 0) >= 0;
}

/// Every piece a SysV buffer leaves on the system, as (name, present) pairs.
std::string sysv_pieces(const std::string& name, key_t key) {
    return std::string("key file ") + (zorvtest::object_exists(name) ? "yes" : "no") +
           ", segment " + (segment_exists(key) ? "yes" : "no") + ", condition " +
           (zorvtest::object_exists(name + "_cond") ? "yes" : "no") + ", mutex " +
           (zorvtest::object_exists("sem." + name + "_cond_mutex") ? "yes" : "no");
}

TEST(ZorvgstShmCliSysv, ListAndShowReadTheSegmentHeader) {
    ShmGuard guard;
    sysv_double_buffer_t writer(guard.c_str(), bip::read_write, 8, 4);
    publish(writer, 2);

    const auto listed = list_fields(guard.name(), "b['backend'], b['ready'], b['width'], "
                                                  "b['height'], b['owner_pid'], b['owner_alive'], "
                                                  "b['frame_count'], b['size']");
    ASSERT_EQ(listed.json.status, 0) << listed.json.err;
    ASSERT_EQ(listed.fields.status, 0) << listed.fields.err;
    EXPECT_EQ(listed.fields.out, "[('sysv', True, 8, 4, " + std::to_string(getpid()) +
                                     ", True, 2, " + std::to_string(compute_size(8, 4)) + ")]\n");

    const auto shown = cli({"show", guard.name()});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("backend:         sysv"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("frames written:  2"), std::string::npos) << shown.out;
}

TEST(ZorvgstShmCliSysv, RemoveTakesAwayEveryPiece) {
    ShmGuard guard;
    key_t key = 0;
    {
        sysv_double_buffer_t writer(guard.c_str(), bip::read_write, 8, 4);
        publish(writer, 1);
        key = sysv_double_buffer_t::key_from_name(guard.c_str(), false).get_key();
    }
    ASSERT_EQ(sysv_pieces(guard.name(), key),
              "key file yes, segment yes, condition yes, mutex yes");

    const auto removed = cli({"remove", guard.name()});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.out, "removed " + guard.name() + " (sysv)\n");
    EXPECT_EQ(sysv_pieces(guard.name(), key), "key file no, segment no, condition no, mutex no");
}

TEST(ZorvgstShmCliSysv, RemoveClearsAKeyFileWhoseSegmentIsGone) {
    // The library's own removal gives up on this state and leaves the key file for ever.
    ShmGuard guard;
    key_t key = 0;
    {
        sysv_double_buffer_t writer(guard.c_str(), bip::read_write, 8, 4);
        ASSERT_TRUE(writer.is_valid());
        key = sysv_double_buffer_t::key_from_name(guard.c_str(), false).get_key();
        ASSERT_EQ(shmctl(writer.get_shmid(), IPC_RMID, nullptr), 0);
    }
    ASSERT_EQ(sysv_pieces(guard.name(), key), "key file yes, segment no, condition yes, mutex yes");

    const auto removed = cli({"remove", guard.name()});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(sysv_pieces(guard.name(), key), "key file no, segment no, condition no, mutex no");
}

TEST(ZorvgstShmCliSysv, ExpireRemovesTheBufferOfADeadWriter) {
    ShmGuard orphan("_orphan"), alive("_alive");
    sysv_double_buffer_t live_writer(alive.c_str(), bip::read_write, 8, 4);
    ASSERT_TRUE(live_writer.is_valid());
    zorvtest::ChildProcess writer([&] {
        sysv_double_buffer_t buffer(orphan.c_str(), bip::read_write, 8, 4);
        return buffer.is_valid() ? 0 : 3;
    });
    const pid_t writer_pid = writer.pid();
    ASSERT_EQ(writer.wait(10s), 0);

    expect_expire_removes_only(orphan.name(), owner_gone("sysv", writer_pid), {alive.name()});
}

TEST(ZorvgstShmCliSysv, KeyFileWithoutSegmentIsAnOrphanExpiredOnceSettled) {
    // What a writer leaves when its segment goes before its key file: the key file and the
    // write-wait objects. A key file just created may belong to a writer about to create its
    // segment, and stays.
    ShmGuard settled("_settled"), fresh("_fresh");
    key_t key = 0;
    {
        sysv_double_buffer_t writer(settled.c_str(), bip::read_write, 8, 4);
        ASSERT_TRUE(writer.is_valid());
        key = sysv_double_buffer_t::key_from_name(settled.c_str(), false).get_key();
        ASSERT_EQ(shmctl(writer.get_shmid(), IPC_RMID, nullptr), 0);
    }
    utimbuf minute_ago{};
    minute_ago.actime = minute_ago.modtime = std::time(nullptr) - 60;
    ASSERT_EQ(utime(settled.path().c_str(), &minute_ago), 0);
    std::ofstream(fresh.path()).close();
    ASSERT_EQ(sysv_pieces(settled.name(), key),
              "key file yes, segment no, condition yes, mutex yes");

    const auto table = cli({"list"});
    EXPECT_EQ(table.status, 0);
    EXPECT_EQ(lines_naming(table.err, settled.name()), "");
    const std::string row = lines_naming(table.out, settled.name());
    EXPECT_NE(row.find(" sysv "), std::string::npos) << table.out;
    EXPECT_NE(row.find(" orphan "), std::string::npos) << table.out;

    const auto listed = list_fields(
        settled.name(), "b['state'], b['ready'], b['owner_pid'], b['owner_alive'], b['size']");
    EXPECT_EQ(lines_naming(listed.json.err, settled.name()), "");
    EXPECT_EQ(listed.fields.out, "[('orphan', False, 0, False, 0)]\n")
        << listed.fields.err << listed.json.out;

    const auto shown = cli({"show", settled.name()});
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.err, "");
    EXPECT_NE(shown.out.find("state:           orphan"), std::string::npos) << shown.out;

    // Just written, however long the commands above took.
    ASSERT_EQ(utime(fresh.path().c_str(), nullptr), 0);
    expect_expire_removes_only(settled.name(), "sysv, key file without a segment", {fresh.name()});
    EXPECT_EQ(sysv_pieces(settled.name(), key), "key file no, segment no, condition no, mutex no");
}

TEST(ZorvgstShmCliSysv, InspectingCreatesNothing) {
    // A running writer whose write-wait objects a clean-up took, and an orphan key file: a probe
    // that brought the objects back would leave readers waiting on ones no writer signals.
    ShmGuard live("_live"), orphan("_orphan");
    sysv_double_buffer_t writer(live.c_str(), bip::read_write, 8, 4);
    publish(writer, 1);
    ASSERT_TRUE(bip::named_condition::remove((live.name() + "_cond").c_str()));
    ASSERT_TRUE(bip::named_mutex::remove((live.name() + "_cond_mutex").c_str()));
    std::ofstream(orphan.path()).close();
    const auto before = zorvtest::dev_shm_entries_with_prefix(zorvtest::run_prefix());
    ASSERT_EQ(before, (std::vector<std::string>{live.name(), orphan.name()}));

    const std::vector<std::vector<std::string>> inspections = {
        {"list"},
        {"list", "--json"},
        {"show", live.name()},
        {"show", live.name(), "--json"},
        {"show", orphan.name()},
        {"watch", live.name(), "--count", "1", "--interval", "0.01"},
    };
    for (const auto& args : inspections) {
        const auto result = cli(args);
        EXPECT_EQ(result.status, 0) << joined(args) << result.err;
        // Stops at the first command that created something: later ones would find it there.
        ASSERT_EQ(zorvtest::dev_shm_entries_with_prefix(zorvtest::run_prefix()), before)
            << joined(args);
    }
}

/// Makes an 16x8 NV12 ring of 2 readers x 2 leases under `guard` with one frame.
zorvgst::frame_writer make_ring(const ShmGuard& guard) {
    zorvgst::ring_options options;
    options.readers = 2;
    options.leases_per_reader = 2;
    options.metadata_bytes = 64;
    zorvgst::frame_writer writer(guard.name(), zorvgst::frame_format::of("NV12", 16, 8), options);
    std::memset(writer.frame(), 0x40, writer.format().size);
    writer.publish();
    return writer;
}

/// The row of `name` in the list table, and the table's head line.
std::pair<std::string, std::string> table_row(const std::string& table, const std::string& name) {
    std::istringstream lines(table);
    std::string head;
    std::getline(lines, head);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(name + " ", 0) == 0) {
            return {head, line};
        }
    }
    return {head, ""};
}

/// The columns of a table row, split at runs of blanks.
std::vector<std::string> columns(const std::string& row) {
    std::vector<std::string> found;
    std::istringstream words(row);
    for (std::string word; words >> word;) {
        found.push_back(word);
    }
    return found;
}

TEST(ZorvgstShmCliRing, ListAndShowGiveKindFormatAndLeaseHolders) {
    ShmGuard ring("_ring"), plain("_plain");
    zorvgst::frame_writer writer = make_ring(ring);
    double_buffer_t double_buffer(plain.c_str(), bip::read_write, 8, 4);
    publish(double_buffer, 1);
    zorvtest::Signal holding;
    zorvtest::ChildProcess holder([&] {
        zorvgst::frame_reader reader(ring.name());
        const std::optional<zorvgst::frame_lease> lease = reader.hold();
        if (!lease) {
            return 3;
        }
        holding.raise();
        for (;;) {
            pause(); // holds the frame until killed
        }
    });
    ASSERT_TRUE(holding.wait(10s)) << "the reader took no lease";
    const std::string holder_pid = std::to_string(holder.pid());

    // New columns come after every existing one, which keep their places.
    const auto table = cli({"list"});
    ASSERT_EQ(table.status, 0) << table.err;
    const auto [head, ring_row] = table_row(table.out, ring.name());
    const auto plain_row = table_row(table.out, plain.name()).second;
    EXPECT_LT(head.find("BYTES"), head.find("KIND")) << head;
    EXPECT_EQ(columns(head).back(), "LEASES") << head;
    const auto ring_columns = columns(ring_row);
    ASSERT_GE(ring_columns.size(), 3u) << table.out;
    EXPECT_EQ(std::vector<std::string>(ring_columns.end() - 3, ring_columns.end()),
              (std::vector<std::string>{"ring", "NV12", "1"}))
        << ring_row;
    EXPECT_NE(ring_row.find(" 16x8 "), std::string::npos) << ring_row;
    const auto plain_columns = columns(plain_row);
    ASSERT_GE(plain_columns.size(), 3u) << table.out;
    EXPECT_EQ(std::vector<std::string>(plain_columns.end() - 3, plain_columns.end()),
              (std::vector<std::string>{"double-buffer", "BGRA", "-"}))
        << plain_row;

    // JSON: the existing fields first and unchanged, the new ones after them.
    const auto listed = list_fields(ring.name(), "list(b.keys()), b['kind'], b['format'], "
                                                 "b['leases'], b['lease_holders'], b['ring']");
    ASSERT_EQ(listed.fields.status, 0) << listed.fields.err << listed.json.out;
    EXPECT_EQ(listed.fields.out,
              "[(['name', 'backend', 'ready', 'state', 'width', 'height', 'owner_pid', "
              "'owner_alive', 'frame_count', 'last_write_time', 'age_ms', 'size', 'kind', "
              "'format', 'leases', 'lease_holders', 'ring'], 'ring', 'NV12', 1, [{'pid': " +
                  holder_pid +
                  ", 'alive': True, 'count': 1}], {'slots': 6, 'readers': 2, "
                  "'leases_per_reader': 2, 'metadata_capacity': 64, 'frame_bytes': " +
                  std::to_string(writer.format().size) + "})]\n");
    const auto plain_listed =
        list_fields(plain.name(), "b['kind'], b['format'], b['leases'], b['lease_holders'], "
                                  "b['ring'], b['ready'], b['width']");
    EXPECT_EQ(plain_listed.fields.out, "[('double-buffer', 'BGRA', 0, [], None, True, 8)]\n")
        << plain_listed.fields.err;

    const auto shown = cli({"show", ring.name()});
    ASSERT_EQ(shown.status, 0) << shown.err;
    for (const std::string& line : std::vector<std::string>{
             "state:           ready", "frame size:      16x8", "kind:            ring",
             "format:          NV12", "ring:            2 readers x 2 leases, 6 slots, 64 bytes",
             "leases held:     1", "lease holders:   1 by " + holder_pid + " (alive)"}) {
        EXPECT_NE(shown.out.find(line), std::string::npos) << line << "\n" << shown.out;
    }
    const auto shown_json = cli({"show", ring.name(), "--json"});
    ASSERT_EQ(shown_json.status, 0) << shown_json.err;
    EXPECT_EQ(python_json(shown_json.out, "d['leases'], d['lease_holders'], d['owner_pid']").out,
              "1 [{'pid': " + holder_pid + ", 'alive': True, 'count': 1}] " +
                  std::to_string(getpid()) + "\n");
}

TEST(ZorvgstShmCliRing, BrokenRingHeadersAreListedWithoutTheirCounts) {
    ShmGuard ring;
    const zorvgst::frame_writer writer = make_ring(ring);
    // Slots past the end of the object: nothing of the reader table may be read.
    ASSERT_TRUE(zorvtest::poke<std::uint32_t>(ring.name(), 64, 200));

    const auto listed = list_fields(ring.name(), "b['state'], b['kind'], b['format'], "
                                                 "b['leases'], b['lease_holders'], b['ring']");
    ASSERT_EQ(listed.json.status, 0) << listed.json.err;
    EXPECT_EQ(listed.fields.out, "[('not_ready', 'ring', 'NV12', 0, [], None)]\n")
        << listed.fields.err << listed.json.out;
    const auto shown = cli({"show", ring.name()});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("ring:            unknown"), std::string::npos) << shown.out;
}

TEST(ZorvgstShmCliRing, ExpireRemovesTheRingOfADeadWriterAndRemoveAnyRing) {
    ShmGuard orphan("_orphan"), alive("_alive");
    const zorvgst::frame_writer live_writer = make_ring(alive);
    zorvtest::ChildProcess writer([&] {
        make_ring(orphan);
        return 0;
    });
    const pid_t writer_pid = writer.pid();
    ASSERT_EQ(writer.wait(10s), 0);
    ASSERT_TRUE(zorvtest::object_exists(orphan.name()));
    expect_expire_removes_only(orphan.name(), owner_gone("posix", writer_pid), {alive.name()});

    const auto removed = cli({"remove", alive.name()});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.out, "removed " + alive.name() + " (posix)\n");
    EXPECT_FALSE(zorvtest::object_exists(alive.name()));
}

constexpr int could_not_switch_user = 90;

/// Leaves root for `uid`:`gid` without supplementary groups; false when the system refuses.
bool become_user(uid_t uid, gid_t gid) {
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0 && geteuid() == uid &&
           getegid() == gid;
}

// What a process of another user than a live owner must find, in order; its exit status is the
// number of the first check that failed.
const std::vector<std::string> foreign_owner_checks = {
    "all passed",
    "kill(owner, 0) is refused with EPERM",
    "the library reads the POSIX owner",
    "the library does not expire the POSIX buffer",
    "the library reads the SysV owner",
    "the library does not expire the SysV buffer",
    "the owner has not exited",
    "find_buffer shows the POSIX owner alive",
    "expire_buffers keeps the POSIX buffer",
    "find_buffer shows the SysV owner alive",
    "expire_buffers keeps the SysV buffer",
};

int check_owner_of_another_user_lives(pid_t owner, const std::string& posix,
                                      const std::string& sysv) {
    using zorvgst::find_buffer;
    int check = 0;
    const auto failed = [&check](bool passed) {
        ++check;
        return !passed;
    };
    const auto shown_alive = [owner](const std::optional<zorvgst::buffer_status>& info) {
        return info && info->owner_pid == owner && info->owner_alive;
    };
    errno = 0;
    if (failed(kill(owner, 0) == -1 && errno == EPERM) ||
        failed(posix_double_buffer_t::get_double_buffer_owner(posix) == owner) ||
        failed(!double_buffer_t::remove_double_buffer_if_owner_pid_expired(posix.c_str())) ||
        failed(sysv_double_buffer_t::get_double_buffer_owner(sysv) == owner) ||
        failed(!sysv_double_buffer_t::remove_double_buffer_if_owner_pid_expired(sysv.c_str())) ||
        failed(!zorvgst::detail::process_has_exited(owner)) ||
        failed(shown_alive(find_buffer(posix))) ||
        failed(zorvgst::expire_buffers({posix}).empty() && zorvgst::find_buffer(posix)) ||
        failed(shown_alive(find_buffer(sysv))) ||
        failed(zorvgst::expire_buffers({sysv}).empty() && zorvgst::find_buffer(sysv))) {
        return check;
    }
    return 0;
}

TEST(ZorvgstShmForeignOwner, LiveOwnerOfAnotherUserIsNeverExpired) {
    // Root may signal every process, so only an unprivileged process sees the EPERM that a live
    // owner of another user answers. The owner and the checker share a group, as the users of
    // one installation do, so the checker can read the buffers.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the owner and the checker as two other users";
    }
    constexpr uid_t owner_uid = 65534;
    constexpr uid_t checker_uid = 65533;
    constexpr gid_t shared_gid = 65534;
    ShmGuard posix("_posix"), sysv("_sysv");
    zorvtest::ChildProcess owner([&] {
        if (!become_user(owner_uid, shared_gid)) {
            return could_not_switch_user;
        }
        double_buffer_t posix_writer(posix.c_str(), bip::read_write, 8, 4);
        sysv_double_buffer_t sysv_writer(sysv.c_str(), bip::read_write, 8, 4);
        if (!posix_writer.is_valid() || !sysv_writer.is_valid()) {
            return 1;
        }
        for (;;) {
            pause(); // alive until the test kills it
        }
    });
    const pid_t owner_pid = owner.pid();
    std::optional<int> owner_exit;
    const bool owned = zorvtest::wait_until(
        [&] {
            owner_exit = owner.try_wait();
            const auto posix_info = zorvgst::find_buffer(posix.name());
            const auto sysv_info = zorvgst::find_buffer(sysv.name());
            // A System V writer claims the owner field before it writes the frame size: only a
            // ready buffer is one the checker can open.
            const auto owned_and_ready = [owner_pid](const auto& info) {
                return info && info->owner_pid == owner_pid &&
                       info->state == zorvgst::buffer_state::ready;
            };
            return owner_exit || (owned_and_ready(posix_info) && owned_and_ready(sysv_info));
        },
        10s);
    if (owner_exit == could_not_switch_user) {
        GTEST_SKIP() << "the system refused to switch to uid " << owner_uid;
    }
    ASSERT_FALSE(owner_exit) << "the owner exited with status " << *owner_exit;
    ASSERT_TRUE(owned) << "the owner did not create both buffers";

    zorvtest::ChildProcess checker([&] {
        if (!become_user(checker_uid, shared_gid)) {
            return could_not_switch_user;
        }
        return check_owner_of_another_user_lives(owner_pid, posix.name(), sysv.name());
    });
    const int failed_check = checker.wait(20s);
    if (failed_check == could_not_switch_user) {
        GTEST_SKIP() << "the system refused to switch to uid " << checker_uid;
    }
    ASSERT_GE(failed_check, 0) << "the checker did not finish";
    ASSERT_LT(static_cast<std::size_t>(failed_check), foreign_owner_checks.size());
    EXPECT_EQ(failed_check, 0) << "failed: " << foreign_owner_checks[failed_check];
    EXPECT_FALSE(owner.try_wait()) << "the owner is gone";
    const auto posix_after = zorvgst::find_buffer(posix.name());
    const auto sysv_after = zorvgst::find_buffer(sysv.name());
    EXPECT_TRUE(posix_after && posix_after->state == zorvgst::buffer_state::ready &&
                posix_after->owner_pid == owner_pid);
    EXPECT_TRUE(sysv_after && sysv_after->state == zorvgst::buffer_state::ready &&
                sysv_after->owner_pid == owner_pid);
}

} // namespace

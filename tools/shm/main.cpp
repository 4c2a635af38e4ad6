// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvgst-shm: lists, inspects, watches and cleans up the double buffers and frame rings on this
// machine.
#include <chrono>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <log4cxx/logger.h>
#include <sys/stat.h>

#include <zorvgst/inventory.h>
#include <zorvgst/library.h>

#include "report.h"
#include "stderr_appender.h"
#include "tools/common/arguments.h"
#include "tools/common/buffer_report.h"
#include "tools/common/library_log.h"
#include "tools/common/main_loop.h"

// The library logs to the host's logger; this program is the host.
log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvgst");

namespace {

using namespace zorvgst_shm;
using zorvgst_tools::accepted_options_t;
using zorvgst_tools::age_ms;
using zorvgst_tools::arguments_t;
using zorvgst_tools::decimal_number;
using zorvgst_tools::parse_arguments;
using zorvgst_tools::print_json;
using zorvgst_tools::print_json_object;
using zorvgst_tools::whole_number;
namespace pt = boost::posix_time;

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

const char* const program = "zorvgst-shm";

const std::map<std::string, std::string> help_texts = {
    {"", "usage: zorvgst-shm [-v] COMMAND [ARGS]\n"
         "\n"
         "Supervises the double buffers (POSIX and System V) and frame rings that zorvgst\n"
         "processes share.\n"
         "\n"
         "commands:\n"
         "  list [--json] [--dir DIR]     every buffer: backend, frame size, owner, frames, last "
         "write,\n"
         "                                kind, format, leases\n"
         "  show NAME [--json]            one buffer in detail\n"
         "  remove NAME                   remove a buffer (all its pieces)\n"
         "  expire [--dry-run] [NAME...]  remove the buffers whose owner process has died\n"
         "  watch NAME [--count N]        frames per second and frame age, once a second\n"
         "\n"
         "options:\n"
         "  -v, --verbose   show the library's debug lines on standard error\n"
         "  -h, --help      this text; COMMAND --help describes one command\n"
         "\n"
         "exit status: 0 success, 1 buffer not found or operation failed, 2 usage error\n"},
    {"list",
     "usage: zorvgst-shm list [--json] [--dir DIR]\n"
     "\n"
     "Lists the double buffers of both backends and the frame rings with their backend,\n"
     "frame size, owner process (and whether it is alive), frames written, last write time\n"
     "(local), frame age, size in bytes, kind (double-buffer or ring), frame format and the\n"
     "frames a ring's readers hold (leases). A System V key file whose segment is gone is\n"
     "listed with owner 'orphan' (state \"orphan\" in JSON).\n"
     "\n"
     "  --json     one JSON document: {\"buffers\": [{\"name\", \"backend\", \"ready\",\n"
     "             \"state\", \"width\", \"height\", \"owner_pid\", \"owner_alive\",\n"
     "             \"frame_count\", \"last_write_time\", \"age_ms\", \"size\", \"kind\",\n"
     "             \"format\", \"leases\", \"lease_holders\": [{\"pid\", \"alive\",\n"
     "             \"count\"}, ...], \"ring\": {\"slots\", \"readers\",\n"
     "             \"leases_per_reader\", \"metadata_capacity\", \"frame_bytes\"} or null},\n"
     "             ...]}\n"
     "  --dir DIR  take the buffer names from DIR instead of /dev/shm (buffers are still\n"
     "             opened by name, as every process opens them)\n"},
    {"show", "usage: zorvgst-shm show NAME [--json]\n"
             "\n"
             "Shows one buffer's header: backend, state, frame size, owner, frames written, last\n"
             "write time and frame age, size, kind and format; for a frame ring also its\n"
             "readers, slots and metadata, and which processes hold how many of its frames.\n"
             "Exit status 1 when there is no such buffer.\n"
             "\n"
             "  --json     the buffer's object of 'list --json'\n"},
    {"remove", "usage: zorvgst-shm remove NAME\n"
               "\n"
               "Removes a buffer: the POSIX object (double buffer or frame ring), or the\n"
               "System V segment, key file and write-wait condition and mutex. Processes that\n"
               "have it open keep their mapping.\n"
               "Exit status 1 when there is no such buffer or something of it is left.\n"},
    {"expire", "usage: zorvgst-shm expire [--dry-run] [NAME...]\n"
               "\n"
               "Removes every buffer whose owner process no longer exists, on both backends, or\n"
               "only those of the NAMEs given; a frame ring's writer counts as gone also when its\n"
               "pid now names a later process. Buffers without an owner are left alone, except\n"
               "System V key files whose segment is gone: those are removed with their write-wait\n"
               "condition and mutex once unchanged for 5 seconds.\n"
               "\n"
               "  --dry-run  only print what would be removed\n"},
    {"watch", "usage: zorvgst-shm watch NAME [--count N] [--interval SECONDS]\n"
              "\n"
              "Prints the frames per second and the age of the newest frame of a buffer once a\n"
              "second until interrupted (Ctrl-C).\n"
              "\n"
              "  --count N             stop after N lines\n"
              "  --interval SECONDS    time between lines (default 1)\n"},
};

/// One-line message on standard error and the usage exit status.
int usage_error(const std::string& message) {
    std::cerr << program << ": " << message << " (try '" << program << " --help')\n";
    return exit_usage;
}

int failure(const std::string& message) {
    std::cerr << program << ": " << message << "\n";
    return exit_failure;
}

int not_found(const std::string& name) {
    return failure("no double buffer named '" + name + "'");
}

pt::ptime local_now() {
    return pt::microsec_clock::local_time();
}

std::chrono::system_clock::time_point wall_clock_now() {
    return std::chrono::system_clock::now();
}

int cmd_list(const arguments_t& args) {
    std::string directory = "/dev/shm";
    if (const auto dir = args.options.find("--dir"); dir != args.options.end()) {
        directory = dir->second;
    }
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return failure("'" + directory + "' is not a directory");
    }
    const auto buffers = zorvgst::list_buffers(directory);
    if (args.has("--json")) {
        print_json(std::cout, buffers, wall_clock_now());
    } else {
        print_table(std::cout, buffers, wall_clock_now());
    }
    return exit_ok;
}

int cmd_show(const arguments_t& args) {
    const std::string& name = args.positional.front();
    const auto info = zorvgst::find_buffer(name);
    if (!info) {
        return not_found(name);
    }
    if (args.has("--json")) {
        print_json_object(std::cout, *info, wall_clock_now(), "");
        std::cout << "\n";
    } else {
        print_details(std::cout, *info, wall_clock_now());
    }
    return exit_ok;
}

int cmd_remove(const arguments_t& args) {
    const std::string& name = args.positional.front();
    // Found from the directory entry alone: a buffer too broken to open is removed all the same.
    const auto backend = zorvgst::find_backend(name);
    if (!backend) {
        return not_found(name);
    }
    if (!zorvgst::remove_buffer(name)) {
        return failure("could not remove '" + name + "'");
    }
    std::cout << "removed " << name << " (" << zorvgst::backend_name(*backend) << ")\n";
    return exit_ok;
}

int cmd_expire(const arguments_t& args) {
    const bool dry_run = args.has("--dry-run");
    std::vector<zorvgst::expiry_failure> failures;
    const auto expired = zorvgst::expire_buffers(args.positional, dry_run, failures);
    for (const auto& buffer : expired) {
        std::cout << (dry_run ? "would remove " : "removed ") << buffer.name << " (";
        if (buffer.state == zorvgst::buffer_state::orphan) {
            std::cout << "sysv, key file without a segment)\n";
        } else {
            std::cout << zorvgst::backend_name(buffer.backend) << ", owner " << buffer.owner_pid
                      << " is gone)\n";
        }
    }
    for (const auto& failed : failures) {
        if (failed.reason == zorvgst::expiry_failure_reason::not_found) {
            not_found(failed.name);
        } else {
            failure("could not remove '" + failed.name + "'");
        }
    }
    return failures.empty() ? exit_ok : exit_failure;
}

int cmd_watch(const arguments_t& args) {
    const std::string& name = args.positional.front();
    long long count = -1;
    if (const auto it = args.options.find("--count"); it != args.options.end()) {
        const auto given = whole_number(it->second, 1, std::numeric_limits<long long>::max());
        if (!given) {
            return usage_error("--count needs a positive whole number");
        }
        count = *given;
    }
    double interval_s = 1.0;
    if (const auto it = args.options.find("--interval"); it != args.options.end()) {
        const auto given = decimal_number(it->second, 0.01, 3600);
        if (!given) {
            return usage_error("--interval needs a number of seconds between 0.01 and 3600");
        }
        interval_s = *given;
    }
    auto previous = zorvgst::find_buffer(name);
    if (!previous) {
        return not_found(name);
    }

    using clock = std::chrono::steady_clock;
    auto previous_time = clock::now();
    long long shown = 0;
    const auto show_line = [&] {
        const auto now = clock::now();
        const auto current = zorvgst::find_buffer(name);
        std::cout << pt::to_simple_string(local_now().time_of_day()).substr(0, 8) << "  ";
        if (!current) {
            std::cout << name << " is gone\n" << std::flush;
            previous.reset();
        } else {
            const double elapsed = std::chrono::duration<double>(now - previous_time).count();
            std::cout << std::fixed << std::setprecision(1);
            // A restarted writer resets the count; there is no rate to show across that.
            const auto ready = [](const zorvgst::buffer_status& status) {
                return status.state == zorvgst::buffer_state::ready;
            };
            if (previous && ready(*previous) && ready(*current) &&
                current->frame_count >= previous->frame_count && elapsed > 0) {
                std::cout << "fps " << std::setw(6)
                          << static_cast<double>(current->frame_count - previous->frame_count) /
                                 elapsed;
            } else {
                std::cout << "fps " << std::setw(6) << "-";
            }
            const double age = age_ms(*current, wall_clock_now());
            std::cout << "  age ";
            if (age < 0) {
                std::cout << std::setw(9) << "-";
            } else {
                std::cout << std::setw(6) << age << " ms";
            }
            std::cout << "  frames " << current->frame_count << "  " << current->width << "x"
                      << current->height << "\n"
                      << std::flush;
            previous = current;
        }
        previous_time = now;
        return count < 0 || ++shown < count;
    };
    // Ctrl-C or SIGTERM ends the watch at once, with success.
    zorvgst_tools::main_loop loop;
    loop.every(std::chrono::milliseconds(std::lround(interval_s * 1000)), show_line);
    loop.run();
    return exit_ok;
}

using command_fn = int (*)(const arguments_t&);

/// How many buffer names a command takes.
enum class names_t { none, one, any };

struct command_t {
    command_fn run;
    accepted_options_t options;
    names_t names;
};

const std::map<std::string, command_t> commands = {
    {"list", {cmd_list, {{"--json", false}, {"--dir", true}}, names_t::none}},
    {"show", {cmd_show, {{"--json", false}}, names_t::one}},
    {"remove", {cmd_remove, {}, names_t::one}},
    {"expire", {cmd_expire, {{"--dry-run", false}}, names_t::any}},
    {"watch", {cmd_watch, {{"--count", true}, {"--interval", true}}, names_t::one}},
};

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);

    bool verbose = false;
    bool help = false;
    std::string command;
    std::vector<std::string> rest;
    for (const auto& arg : args) {
        if (arg == "-v" || arg == "--verbose") {
            verbose = true;
        } else if (arg == "-h" || arg == "--help") {
            help = true;
        } else if (command.empty() && !arg.empty() && arg[0] != '-') {
            command = arg;
        } else if (command.empty()) {
            return usage_error("unknown option '" + arg + "'");
        } else {
            rest.push_back(arg);
        }
    }
    if (command == "help") {
        command = rest.empty() ? "" : rest.front();
        rest.clear();
        help = true;
    }
    if (!command.empty() && commands.count(command) == 0) {
        return usage_error("unknown command '" + command + "'");
    }
    if (help) {
        std::cout << help_texts.at(command);
        return exit_ok;
    }
    if (command.empty()) {
        return usage_error("no command given");
    }

    // The library reports what goes wrong on its side through `logger`: show warnings and
    // errors (debug with -v) without mixing them into the output on standard output. GStreamer
    // is not needed here, so the library is not initialised.
    zorvgst_tools::show_library_log(logger, std::make_shared<stderr_appender>(),
                                    verbose ? log4cxx::Level::getDebug()
                                            : log4cxx::Level::getWarn());

    const command_t& selected = commands.at(command);
    arguments_t parsed;
    if (const auto error = parse_arguments(rest, selected.options, parsed)) {
        return usage_error(*error);
    }
    if (selected.names == names_t::none && !parsed.positional.empty()) {
        return usage_error(command + " takes no names");
    }
    if (selected.names == names_t::one && parsed.positional.size() != 1) {
        return usage_error(command + " needs exactly one buffer name");
    }
    try {
        return selected.run(parsed);
    } catch (const std::exception& e) {
        return failure(std::string("error: ") + e.what());
    }
}

// SPDX-License-Identifier: LGPL-2.1-or-later
// Graph export with real Graphviz and a stand-in browser, including paths a shell would misread.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <unistd.h>

#include <zorvgst/pipeline.h>

#include "support/capture_appender.h"
#include "support/pipeline_support.h"

namespace {

namespace fs = std::filesystem;
using zorvtest::LogCapture;
using zorvtest::Pipeline;
using zorvtest::ScopedEnv;
using zorvtest::TempDir;

const char* const export_signature =
    "std::string save_pipeline_to_png_file(GstElement*, const char*)";
const char* const dot_failed = "Failed to Invoke 'dot' -- Ensure Package 'graphviz' Installed";
const char* const unset_dir = "GST_DEBUG_DUMP_DOT_DIR Must Be Set To Display Pipeline";
const char* const not_launching = "save_pipeline_to_png_file() Failed -- Not Launching Chrome";

// Everything a shell would split, expand or execute.
const char* const hostile_name = "dots 'single' \"double\"; $(touch PWNED) `touch PWNED` & |x";

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool is_png(const std::string& path) {
    return read_file(path).rfind(std::string("\x89PNG\r\n\x1a\n", 8), 0) == 0;
}

std::vector<std::string> split_nul(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
        parts.push_back(text.substr(start, end - start));
    }
    return parts;
}

class GraphExport : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(pipeline_.get(), nullptr);
        dump_dir_ = (fs::path(work_.path()) / hostile_name).string();
        fs::create_directory(dump_dir_);
        fs::create_directory(bin_dir());
        dump_env_.emplace("GST_DEBUG_DUMP_DOT_DIR", dump_dir_);
        const char* path = std::getenv("PATH");
        path_env_.emplace("PATH", bin_dir() + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
        ASSERT_FALSE(fs::exists("PWNED"));
    }

    void TearDown() override { EXPECT_FALSE(fs::exists("PWNED")) << "a shell ran a path"; }

    std::string bin_dir() const { return work_.path() + "/bin"; }

    // An executable `name` first on PATH that records its arguments (NUL-separated) in
    // `<name>.args` and exits with `status`.
    std::string stand_in(const std::string& name, int status) {
        const std::string record = work_.path() + "/" + name + ".args";
        const std::string script = bin_dir() + "/" + name;
        std::ofstream(script) << "#!/bin/sh\nprintf '%s\\0' \"$@\" > '" << record << "'\nexit "
                              << status << "\n";
        fs::permissions(script, fs::perms::owner_all);
        return record;
    }

    // Shows the pipeline through a stand-in browser that exits with `status`; the arguments it
    // was started with.
    std::vector<std::string> show_in_chrome(int status) {
        const std::string record = stand_in("google-chrome", status);
        display_pipeline_in_chrome(pipeline_.get());
        return split_nul(read_file(record));
    }

    // The stamp in "<prefix><stamp><suffix>" if `path` has that form.
    static long long stamp_of(const std::string& path, const std::string& prefix,
                              const std::string& suffix) {
        if (path.rfind(prefix, 0) != 0 || path.size() <= prefix.size() + suffix.size() ||
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
            return -1;
        }
        const std::string digits =
            path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos) {
            return -1;
        }
        return std::stoll(digits);
    }

    static long long now_ms_of_day() {
        return boost::posix_time::microsec_clock::local_time().time_of_day().total_milliseconds();
    }

    TempDir work_;
    std::string dump_dir_;
    std::optional<ScopedEnv> dump_env_;
    std::optional<ScopedEnv> path_env_;
    Pipeline pipeline_{"videotestsrc name=source ! queue ! fakesink name=sink"};
};

TEST_F(GraphExport, UnsetOrEmptyDumpDirectoryFailsAndWritesNothing) {
    for (const auto& value : {std::optional<std::string>(), std::optional<std::string>("")}) {
        ScopedEnv dump("GST_DEBUG_DUMP_DOT_DIR", value);
        LogCapture capture;
        EXPECT_EQ(save_pipeline_to_png_file(pipeline_.get(), nullptr), "");
        auto lines = capture.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].message, unset_dir);
        EXPECT_EQ(lines[0].level, log4cxx::Level::ERROR_INT);
        EXPECT_EQ(lines[0].function, export_signature);
    }
    EXPECT_TRUE(fs::is_empty(dump_dir_));
}

TEST_F(GraphExport, DefaultOutputIsAPngInTheDumpDirectoryNamedByTheTimeOfDay) {
    LogCapture capture;
    const long long before = now_ms_of_day();
    const std::string png = save_pipeline_to_png_file(pipeline_.get(), nullptr);
    const long long after = now_ms_of_day();

    const long long stamp = stamp_of(png, dump_dir_ + "/gst_bin_png_", ".png");
    ASSERT_GE(stamp, 0) << png;
    // Across midnight the stamp may lie before `before` or after `after`, never in between.
    EXPECT_TRUE(before <= after ? (stamp >= before && stamp <= after)
                                : (stamp >= before || stamp <= after));
    EXPECT_TRUE(is_png(png));
    const std::string dot = dump_dir_ + "/gst_bin_graph_tmp_" + std::to_string(stamp) + ".dot";
    EXPECT_EQ(read_file(dot).rfind("digraph", 0), 0u) << "the graph stays beside the picture";
    EXPECT_NE(read_file(dot).find("GstFakeSink"), std::string::npos);

    auto command = capture.with_message("dot -Tpng " + dot + " -o " + png);
    ASSERT_EQ(command.size(), 1u);
    EXPECT_EQ(command[0].level, log4cxx::Level::DEBUG_INT);
    EXPECT_EQ(capture.count_at(log4cxx::Level::ERROR_INT), 0u);
}

TEST_F(GraphExport, GivenOutputPathIsUsedUnchangedAndTheGraphStaysInTheDumpDirectory) {
    const std::string out_dir = work_.path() + "/out; rm -rf $HOME 'x'";
    fs::create_directory(out_dir);
    const std::string wanted = out_dir + "/picture \"1\".png";
    EXPECT_EQ(save_pipeline_to_png_file(pipeline_.get(), wanted.c_str()), wanted);
    EXPECT_TRUE(is_png(wanted));

    std::vector<std::string> in_dump;
    for (const auto& entry : fs::directory_iterator(dump_dir_)) {
        in_dump.push_back(entry.path().filename().string());
    }
    ASSERT_EQ(in_dump.size(), 1u);
    EXPECT_GE(stamp_of(in_dump[0], "gst_bin_graph_tmp_", ".dot"), 0) << in_dump[0];
}

TEST_F(GraphExport, RelativeOutputPathStartingWithADashIsAFileNotAnOption) {
    const fs::path saved = fs::current_path();
    fs::current_path(work_.path());
    const std::string png = save_pipeline_to_png_file(pipeline_.get(), "-Tsvg.png");
    const bool written = is_png(work_.path() + "/-Tsvg.png");
    fs::current_path(saved);
    EXPECT_EQ(png, "-Tsvg.png");
    EXPECT_TRUE(written);
}

TEST_F(GraphExport, PathsLongerThanAThousandCharactersAreNotCut) {
    std::string deep = dump_dir_;
    for (int level = 0; level < 6; ++level) {
        deep += "/" + std::string(200, static_cast<char>('a' + level));
    }
    fs::create_directories(deep);
    ScopedEnv dump("GST_DEBUG_DUMP_DOT_DIR", deep);
    const std::string png = save_pipeline_to_png_file(pipeline_.get(), nullptr);
    ASSERT_GT(png.size(), 1200u);
    EXPECT_EQ(png.rfind(deep + "/gst_bin_png_", 0), 0u);
    EXPECT_TRUE(is_png(png));
}

TEST_F(GraphExport, DotGetsEachPathAsOneArgumentAndItsFailureIsReported) {
    const std::string record = stand_in("dot", 2);
    LogCapture capture;
    EXPECT_EQ(save_pipeline_to_png_file(pipeline_.get(), nullptr), "");

    auto args = split_nul(read_file(record));
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[0], "-Tpng");
    EXPECT_GE(stamp_of(args[1], dump_dir_ + "/gst_bin_graph_tmp_", ".dot"), 0) << args[1];
    EXPECT_EQ(args[2], "-o");
    EXPECT_GE(stamp_of(args[3], dump_dir_ + "/gst_bin_png_", ".png"), 0) << args[3];
    EXPECT_TRUE(fs::exists(args[1])) << "the graph file stays after a failure";
    auto failed = capture.with_message(dot_failed);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].level, log4cxx::Level::ERROR_INT);
}

TEST_F(GraphExport, MissingDotIsReportedNamingGraphviz) {
    ScopedEnv path("PATH", bin_dir()); // holds no dot
    LogCapture capture;
    EXPECT_EQ(save_pipeline_to_png_file(pipeline_.get(), nullptr), "");
    EXPECT_EQ(capture.with_message(dot_failed).size(), 1u);
}

TEST_F(GraphExport, DumpDirectoryThatDoesNotExistIsReportedBeforeDotRuns) {
    const std::string record = stand_in("dot", 0);
    const std::string missing = work_.path() + "/missing";
    ScopedEnv dump("GST_DEBUG_DUMP_DOT_DIR", missing);
    LogCapture capture;
    EXPECT_EQ(save_pipeline_to_png_file(pipeline_.get(), nullptr), "");
    EXPECT_FALSE(fs::exists(record));
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message.rfind(
                  "Failed to Write Pipeline Graph: " + missing + "/gst_bin_graph_tmp_", 0),
              0u)
        << lines[0].message;
}

TEST_F(GraphExport, ChromeOpensTheRenderedPictureAsOneArgument) {
    LogCapture capture;
    const auto args = show_in_chrome(0);
    ASSERT_EQ(args.size(), 1u);
    EXPECT_GE(stamp_of(args[0], dump_dir_ + "/gst_bin_png_", ".png"), 0) << args[0];
    EXPECT_TRUE(is_png(args[0]));
    auto command = capture.with_message("google-chrome " + args[0]);
    ASSERT_EQ(command.size(), 1u);
    EXPECT_EQ(command[0].level, log4cxx::Level::DEBUG_INT);
    EXPECT_EQ(command[0].function, "void display_pipeline_in_chrome(GstElement*)");
    EXPECT_EQ(capture.count_at(log4cxx::Level::ERROR_INT), 0u);
}

TEST_F(GraphExport, FailingChromeIsReportedWithItsCommand) {
    LogCapture capture;
    const auto args = show_in_chrome(3);
    ASSERT_EQ(args.size(), 1u);
    auto failed = capture.with_message("Failed to Invoke Chrome: google-chrome " + args[0]);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].level, log4cxx::Level::ERROR_INT);
}

TEST_F(GraphExport, ChromeIsNotStartedWhenTheExportFails) {
    const std::string record = stand_in("google-chrome", 0);
    ScopedEnv dump("GST_DEBUG_DUMP_DOT_DIR", std::nullopt);
    LogCapture capture;
    display_pipeline_in_chrome(pipeline_.get());
    EXPECT_FALSE(fs::exists(record));
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, unset_dir);
    EXPECT_EQ(lines[1].message, not_launching);
    EXPECT_EQ(lines[1].level, log4cxx::Level::ERROR_INT);
}

} // namespace

// SPDX-License-Identifier: LGPL-2.1-or-later
// Export of a pipeline's graph: dot file, PNG rendered by Graphviz, optionally shown in a browser.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <spawn.h>
#include <sys/wait.h>

#include <zorvgst/pipeline.h>

#include "internal/log.h"

extern char** environ;

namespace {

// Runs arguments[0] (looked up on PATH) with the rest as its arguments, no shell in between, so
// paths with spaces, quotes or shell syntax reach it as they are. True only for exit status 0.
bool run_program(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t child = -1;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A relative path that begins with '-' would be read as an option; "./" keeps it the same file.
std::string as_operand(const std::string& path) {
    return !path.empty() && path[0] == '-' ? "./" + path : path;
}

// GStreamer reads GST_DEBUG_DUMP_DOT_DIR once, at initialisation; writing the graph ourselves
// puts it in the directory the variable names now, which is where `dot` is told to look.
bool write_graph(GstElement* pipeline, const std::string& dot_path) {
    gchar* graph = gst_debug_bin_to_dot_data(GST_BIN(pipeline), GST_DEBUG_GRAPH_SHOW_ALL);
    if (graph == nullptr) {
        return false;
    }
    bool written = false;
    if (FILE* file = std::fopen(dot_path.c_str(), "wb")) {
        const size_t length = std::strlen(graph);
        written = std::fwrite(graph, 1, length, file) == length;
        written = std::fclose(file) == 0 && written;
    }
    g_free(graph);
    return written;
}

} // namespace

std::string save_pipeline_to_png_file(GstElement* pipeline, const char* output_path) {
    const char* dump_dir = std::getenv("GST_DEBUG_DUMP_DOT_DIR");
    if (dump_dir == nullptr || *dump_dir == '\0') {
        ZORV_LOG_ERROR("GST_DEBUG_DUMP_DOT_DIR Must Be Set To Display Pipeline");
        return std::string();
    }

    const int64_t stamp =
        boost::posix_time::microsec_clock::local_time().time_of_day().total_milliseconds();
    const std::string graph_name = "gst_bin_graph_tmp_" + std::to_string(stamp);
    const std::string dot_path = std::string(dump_dir) + "/" + graph_name + ".dot";
    const std::string png_path =
        output_path != nullptr
            ? std::string(output_path)
            : std::string(dump_dir) + "/" + "gst_bin_png_" + std::to_string(stamp) + ".png";

    if (!write_graph(pipeline, dot_path)) {
        ZORV_LOG_ERROR("Failed to Write Pipeline Graph: " << dot_path);
        return std::string();
    }

    ZORV_LOG_DEBUG("dot -Tpng " << dot_path << " -o " << png_path);
    if (!run_program({"dot", "-Tpng", as_operand(dot_path), "-o", as_operand(png_path)})) {
        ZORV_LOG_ERROR("Failed to Invoke 'dot' -- Ensure Package 'graphviz' Installed");
        return std::string();
    }
    return png_path;
}

void display_pipeline_in_chrome(GstElement* pipeline) {
    const std::string png_path = save_pipeline_to_png_file(pipeline, nullptr);
    if (png_path.empty()) {
        ZORV_LOG_ERROR("save_pipeline_to_png_file() Failed -- Not Launching Chrome");
        return;
    }
    const std::string command = "google-chrome " + png_path;
    ZORV_LOG_DEBUG(command);
    if (!run_program({"google-chrome", as_operand(png_path)})) {
        ZORV_LOG_ERROR("Failed to Invoke Chrome: " << command);
    }
}

// SPDX-License-Identifier: LGPL-2.1-or-later
// Pipeline test helpers: ownership of pipelines, bounded loops, environment and temporary dirs.
#include "support/pipeline_support.h"
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include <unistd.h>

namespace zorvtest {

void gst_object_deleter::operator()(gpointer object) const {
    if (object != nullptr) {
        gst_object_unref(object);
    }
}

Pipeline::Pipeline(const char* description) {
    GError* error = nullptr;
    element_ = gst_parse_launch(description, &error);
    if (error != nullptr) {
        g_error_free(error);
        if (element_ != nullptr) {
            gst_object_unref(element_);
            element_ = nullptr;
        }
    }
    if (element_ != nullptr && g_object_is_floating(element_)) {
        gst_object_ref_sink(element_);
    }
}

Pipeline::Pipeline(GstElement* element) : element_(element) {
    gst_object_ref_sink(element_);
}

Pipeline::~Pipeline() {
    if (element_ != nullptr) {
        gst_element_set_state(element_, GST_STATE_NULL);
        gst_object_unref(element_);
    }
}

GstElement* Pipeline::child(const char* name) const {
    GstElement* found = gst_bin_get_by_name(bin(), name);
    if (found != nullptr) {
        gst_object_unref(found); // the bin keeps it alive
    }
    return found;
}

bool run_main_loop(GMainLoop* loop, std::chrono::milliseconds timeout) {
    struct expiry {
        GMainLoop* loop;
        bool expired;
    } state{loop, false};
    GSource* source = g_timeout_source_new(static_cast<guint>(timeout.count()));
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto* s = static_cast<expiry*>(data);
            s->expired = true;
            g_main_loop_quit(s->loop);
            return G_SOURCE_REMOVE;
        },
        &state, nullptr);
    g_source_attach(source, g_main_loop_get_context(loop));
    g_main_loop_run(loop);
    g_source_destroy(source);
    g_source_unref(source);
    return !state.expired;
}

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
        saved_ = old;
    }
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (saved_) {
        setenv(name_.c_str(), saved_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zorvtest_XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace zorvtest

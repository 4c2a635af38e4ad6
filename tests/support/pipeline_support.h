// SPDX-License-Identifier: LGPL-2.1-or-later
// Helpers for tests that build real GStreamer pipelines: owned pipelines, bounded main loops,
// scoped environment variables and per-test temporary directories.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <gst/gst.h>

namespace zorvtest {

struct gst_object_deleter {
    void operator()(gpointer object) const;
};

/// A pipeline set to NULL and released when it goes out of scope.
class Pipeline {
public:
    /// Parses a gst-launch description; the result is null if it does not parse.
    explicit Pipeline(const char* description);
    /// Takes its own reference on `element` (sinking a floating one).
    explicit Pipeline(GstElement* element);
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    GstElement* get() const { return element_; }
    GstBin* bin() const { return GST_BIN(element_); }
    /// The child named `name` (searched recursively), borrowed.
    GstElement* child(const char* name) const;

private:
    GstElement* element_ = nullptr;
};

/// Runs `loop` until something quits it or `timeout` passes; returns false on time-out.
bool run_main_loop(GMainLoop* loop, std::chrono::milliseconds timeout);

/// Sets (or with nullopt unsets) an environment variable and restores the old value.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

/// A fresh directory under the system temporary directory, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace zorvtest

// SPDX-License-Identifier: LGPL-2.1-or-later
// Timing bins: identity elements around a stage log slow passages and can hold back the next
// buffer.
#include <string>
#include <utility>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/thread/thread.hpp>

#include <zorvgst/pipeline.h>

#include "internal/log.h"

namespace {

void add_ghost_pad(GstElement* bin, GstElement* target, const char* pad_name) {
    GstPad* pad = gst_element_get_static_pad(target, pad_name);
    GstPad* ghost = gst_ghost_pad_new(pad_name, pad);
    gst_pad_set_active(ghost, TRUE);
    gst_element_add_pad(bin, ghost);
    gst_object_unref(pad);
}

} // namespace

perf_data::perf_data(std::string wrapper_name, log4cxx::Logger* logger_for_timing,
                     uint32_t threshold, bool declog_enabled, int32_t sleep)
    : name(std::move(wrapper_name)), begin_time(boost::posix_time::microsec_clock::local_time()),
      perf_logger(logger_for_timing), threshold_ms(threshold), clogged(false),
      declog(declog_enabled), sleep_ms(sleep) {}

perf_data::~perf_data() = default;

GstElement* perf_log_and_declog_bin(GstElement* element, log4cxx::Logger* perf_logger,
                                    uint32_t threshold_ms, bool declog, int32_t sleep_ms) {
    std::string name = "perf_";
    {
        gchar* element_name = gst_object_get_name(GST_OBJECT(element));
        name += element_name != nullptr ? element_name : "";
        g_free(element_name);
    }

    GstElement* bin = gst_bin_new(name.c_str());
    GstElement* begin = create_element("identity", ("b_" + name).c_str());
    GstElement* end = create_element("identity", ("e_" + name).c_str());
    add_to_bin(GST_BIN(bin), element);
    add_to_bin(GST_BIN(bin), begin);
    add_to_bin(GST_BIN(bin), end);
    link_elements(begin, element, nullptr);
    link_elements(element, end, nullptr);
    add_ghost_pad(bin, begin, "sink");
    add_ghost_pad(bin, end, "src");

    auto* record = new perf_data(name, perf_logger, threshold_ms, declog, sleep_ms);
    // The begin element's connection owns the record; both identities die with the bin, so the
    // end element's handler never outlives it.
    g_signal_connect_data(begin, "handoff", G_CALLBACK(perf_log_identity_begin_cb), record,
                          delete_perf_data_cb, static_cast<GConnectFlags>(0));
    g_signal_connect_data(end, "handoff", G_CALLBACK(perf_log_identity_end_cb), record, nullptr,
                          static_cast<GConnectFlags>(0));
    return bin;
}

void perf_log_identity_begin_cb(GstElement* /*identity*/, GstBuffer* /*buffer*/,
                                gpointer user_data) {
    auto* record = static_cast<perf_data*>(user_data);
    record->begin_time.store(boost::posix_time::microsec_clock::local_time());
    if (record->declog && record->clogged.load()) {
        if (record->perf_logger != nullptr) {
            ZORV_LOG_TO(record->perf_logger, Info, "We're Clogged -- Sleeping");
        }
        boost::this_thread::sleep(boost::posix_time::milliseconds(record->sleep_ms));
        record->clogged.store(false);
        // The buffer that waited measures negative at the end and is never counted as slow.
        record->begin_time.store(boost::posix_time::ptime(boost::posix_time::max_date_time));
    }
}

void perf_log_identity_end_cb(GstElement* /*identity*/, GstBuffer* /*buffer*/, gpointer user_data) {
    auto* record = static_cast<perf_data*>(user_data);
    const boost::posix_time::time_duration passage =
        boost::posix_time::microsec_clock::local_time() - record->begin_time.load();
    const int64_t elapsed_ms = passage.total_milliseconds();
    if (elapsed_ms > static_cast<int64_t>(record->threshold_ms)) {
        if (record->perf_logger != nullptr) {
            ZORV_LOG_TO(record->perf_logger, Info, record->name << ": " << elapsed_ms << "ms");
        }
        record->clogged.store(true);
    }
}

void delete_perf_data_cb(gpointer data, GClosure* /*closure*/) {
    delete static_cast<perf_data*>(data);
}

// SPDX-License-Identifier: LGPL-2.1-or-later
// Timing bins around real stages: structure, slow-passage lines, declogging and set-up failures.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <zorvgst/pipeline.h>

#include "support/capture_appender.h"
#include "support/exit_report.h"
#include "support/pipeline_support.h"

namespace {

using zorvtest::CaptureAppender;
using zorvtest::captured_line;
using zorvtest::expect_exit_reporting;
using zorvtest::Pipeline;
namespace pt = boost::posix_time;

const char* const sleeping_line = "We're Clogged -- Sleeping";

// Timing lines go to a logger of the host's choosing; capture that one.
class PerfLogCapture {
public:
    PerfLogCapture() : logger_(log4cxx::Logger::getLogger("zorvtest.perf")) {
        logger_->setAdditivity(false);
        logger_->setLevel(log4cxx::Level::getAll());
        appender_ = std::make_shared<CaptureAppender>();
        appender_->start();
        logger_->addAppender(appender_);
    }
    ~PerfLogCapture() {
        logger_->removeAppender(appender_);
        appender_->stop();
    }
    log4cxx::Logger* logger() const { return logger_.get(); }
    std::vector<captured_line> lines() const { return appender_->lines(); }

private:
    log4cxx::LoggerPtr logger_;
    std::shared_ptr<CaptureAppender> appender_;
};

// Milliseconds of a timing line "<name>: <n>ms", or -1 if the line is not one of these.
long long timing_of(const captured_line& line, const std::string& name) {
    const std::string prefix = name + ": ";
    if (line.message.rfind(prefix, 0) != 0 || line.message.size() < prefix.size() + 3 ||
        line.message.compare(line.message.size() - 2, 2, "ms") != 0) {
        return -1;
    }
    return std::stoll(line.message.substr(prefix.size(), line.message.size() - prefix.size() - 2));
}

// source ! perf_<stage>( stage ) ! fakesink, run to end of stream.
class PerfLogPipeline {
public:
    PerfLogPipeline(GstElement* stage, log4cxx::Logger* perf_logger, uint32_t threshold_ms,
                    bool declog, int32_t sleep_ms, int buffers)
        : pipeline_(gst_pipeline_new(nullptr)) {
        GstElement* source = create_element("videotestsrc", nullptr);
        g_object_set(source, "num-buffers", buffers, nullptr);
        wrapper_ = perf_log_and_declog_bin(stage, perf_logger, threshold_ms, declog, sleep_ms);
        GstElement* sink = create_element("fakesink", nullptr);
        add_to_bin(pipeline_.bin(), source);
        add_to_bin(pipeline_.bin(), wrapper_);
        add_to_bin(pipeline_.bin(), sink);
        GstCaps* caps = gst_caps_from_string("video/x-raw,width=16,height=8");
        link_elements(source, wrapper_, caps);
        gst_caps_unref(caps);
        link_elements(wrapper_, sink, nullptr);
    }

    // True when the pipeline reached end of stream within the time-out.
    bool run(GstClockTime timeout = 10 * GST_SECOND) {
        if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            return false;
        }
        GstBus* bus = gst_element_get_bus(pipeline_.get());
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, timeout, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        gst_object_unref(bus);
        const bool eos = message != nullptr && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
        if (message != nullptr) {
            gst_message_unref(message);
        }
        return eos;
    }

    GstElement* wrapper() const { return wrapper_; }

private:
    Pipeline pipeline_;
    GstElement* wrapper_ = nullptr;
};

// The timing lines of `stage` in a timing bin fed `buffers` frames; nothing when the pipeline
// never reached end of stream.
std::optional<std::vector<captured_line>> timing_lines(GstElement* stage, uint32_t threshold_ms,
                                                       bool declog, int32_t sleep_ms, int buffers) {
    PerfLogCapture perf;
    PerfLogPipeline pipeline(stage, perf.logger(), threshold_ms, declog, sleep_ms, buffers);
    if (!pipeline.run()) {
        return std::nullopt;
    }
    return perf.lines();
}

GstElement* slow_identity(const char* name, guint sleep_us) {
    GstElement* stage = create_element("identity", name);
    g_object_set(stage, "sleep-time", sleep_us, nullptr);
    return stage;
}

TEST(PerfLogBin, WrapsTheStageBetweenIdentitiesWithGhostPads) {
    PerfLogCapture perf;
    GstElement* stage = create_element("identity", "videoscale0");
    Pipeline wrapper(perf_log_and_declog_bin(stage, perf.logger(), 10, false, 0));

    EXPECT_STREQ(GST_OBJECT_NAME(wrapper.get()), "perf_videoscale0");
    EXPECT_EQ(GST_BIN_NUMCHILDREN(wrapper.bin()), 3);
    GstElement* begin = wrapper.child("b_perf_videoscale0");
    GstElement* end = wrapper.child("e_perf_videoscale0");
    ASSERT_NE(begin, nullptr);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(GST_OBJECT_PARENT(stage), GST_OBJECT(wrapper.get()));

    auto peer_parent = [](GstElement* element, const char* pad_name) {
        GstPad* pad = gst_element_get_static_pad(element, pad_name);
        GstPad* peer = gst_pad_get_peer(pad);
        GstElement* parent = peer != nullptr ? gst_pad_get_parent_element(peer) : nullptr;
        if (parent != nullptr) {
            gst_object_unref(parent); // still held by the bin
        }
        if (peer != nullptr) {
            gst_object_unref(peer);
        }
        gst_object_unref(pad);
        return parent;
    };
    EXPECT_EQ(peer_parent(begin, "src"), stage);
    EXPECT_EQ(peer_parent(stage, "src"), end);

    auto ghost_target_parent = [&](const char* pad_name) {
        GstPad* ghost = gst_element_get_static_pad(wrapper.get(), pad_name);
        EXPECT_NE(ghost, nullptr);
        if (ghost == nullptr) {
            return static_cast<GstElement*>(nullptr);
        }
        EXPECT_TRUE(GST_IS_GHOST_PAD(ghost));
        EXPECT_TRUE(gst_pad_is_active(ghost));
        GstPad* target = gst_ghost_pad_get_target(GST_GHOST_PAD(ghost));
        GstElement* parent = gst_pad_get_parent_element(target);
        gst_object_unref(parent);
        gst_object_unref(target);
        gst_object_unref(ghost);
        return parent;
    };
    EXPECT_EQ(ghost_target_parent("sink"), begin);
    EXPECT_EQ(ghost_target_parent("src"), end);
}

TEST(PerfLogBin, EverySlowPassageIsLoggedWithoutDeclog) {
    const auto lines = timing_lines(slow_identity("slow0", 30000), 10, false, 0, 4);
    ASSERT_TRUE(lines);
    ASSERT_EQ(lines->size(), 4u);
    for (const auto& line : *lines) {
        const long long ms = timing_of(line, "perf_slow0");
        EXPECT_GE(ms, 30) << line.message;
        EXPECT_LT(ms, 5000) << line.message;
        EXPECT_EQ(line.level, log4cxx::Level::INFO_INT);
        EXPECT_EQ(line.file, "zorvgst");
        EXPECT_EQ(line.function,
                  "void perf_log_identity_end_cb(GstElement*, GstBuffer*, gpointer)");
    }
}

TEST(PerfLogBin, DeclogHoldsBackTheBufferAfterASlowPassageWhichIsNotTimed) {
    const auto lines = timing_lines(slow_identity("slow1", 30000), 10, true, 50, 5);
    ASSERT_TRUE(lines);
    // Buffer 1 is slow, buffer 2 waits and is not timed, buffer 3 is slow again, and so on.
    ASSERT_EQ(lines->size(), 5u);
    for (size_t i = 0; i < lines->size(); ++i) {
        const captured_line& line = (*lines)[i];
        if (i % 2 == 0) {
            EXPECT_GE(timing_of(line, "perf_slow1"), 30) << line.message;
        } else {
            EXPECT_EQ(line.message, sleeping_line);
            EXPECT_EQ(line.function,
                      "void perf_log_identity_begin_cb(GstElement*, GstBuffer*, gpointer)");
        }
    }
}

TEST(PerfLogBin, PassagesWithinTheThresholdAreNotLogged) {
    const auto lines = timing_lines(create_element("identity", "fast0"), 1000, true, 1000, 20);
    ASSERT_TRUE(lines);
    EXPECT_TRUE(lines->empty());
}

TEST(PerfLogBin, StageWithAThreadOfItsOwnRunsBothHandlersSafely) {
    // Behind a queue the end handler runs on another thread than the begin handler.
    const auto lines = timing_lines(create_element("queue", "threaded0"), 1000, true, 0, 200);
    ASSERT_TRUE(lines);
    EXPECT_TRUE(lines->empty());
}

class PerfDataHandlers : public ::testing::Test {
protected:
    PerfLogCapture perf_;
    perf_data record_{"perf_direct0", perf_.logger(), 10, true, 0};
};

TEST_F(PerfDataHandlers, SlowPassageIsLoggedAndMarksTheStageClogged) {
    record_.begin_time = pt::microsec_clock::local_time() - pt::milliseconds(40);
    perf_log_identity_end_cb(nullptr, nullptr, &record_);
    auto lines = perf_.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_GE(timing_of(lines[0], "perf_direct0"), 40);
    EXPECT_LT(timing_of(lines[0], "perf_direct0"), 5000);
    EXPECT_TRUE(record_.clogged);
}

TEST_F(PerfDataHandlers, PassageUnderTheThresholdIsNeitherLoggedNorClogs) {
    record_.threshold_ms = 5000;
    record_.begin_time = pt::microsec_clock::local_time() - pt::milliseconds(40);
    perf_log_identity_end_cb(nullptr, nullptr, &record_);
    EXPECT_TRUE(perf_.lines().empty());
    EXPECT_FALSE(record_.clogged);
}

TEST_F(PerfDataHandlers, ClogIsSetEvenWhenInfoIsDisabled) {
    log4cxx::Logger::getLogger("zorvtest.perf")->setLevel(log4cxx::Level::getWarn());
    record_.begin_time = pt::microsec_clock::local_time() - pt::milliseconds(40);
    perf_log_identity_end_cb(nullptr, nullptr, &record_);
    EXPECT_TRUE(perf_.lines().empty());
    EXPECT_TRUE(record_.clogged);
}

TEST_F(PerfDataHandlers, DeclogWithoutSleepClearsTheClogAndSkipsTheWaitingBuffer) {
    record_.clogged = true;
    perf_log_identity_begin_cb(nullptr, nullptr, &record_);
    EXPECT_FALSE(record_.clogged);
    EXPECT_EQ(record_.begin_time.load(), pt::ptime(pt::max_date_time));
    perf_log_identity_end_cb(nullptr, nullptr, &record_);
    auto lines = perf_.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, sleeping_line);
    EXPECT_FALSE(record_.clogged);

    // The next buffer is timed normally again.
    perf_log_identity_begin_cb(nullptr, nullptr, &record_);
    EXPECT_LT(record_.begin_time.load(), pt::ptime(pt::max_date_time));
}

TEST_F(PerfDataHandlers, WithoutDeclogAClogNeverMakesABufferWait) {
    record_.declog = false;
    record_.sleep_ms = 10000;
    record_.clogged = true;
    const pt::ptime before = pt::microsec_clock::local_time();
    perf_log_identity_begin_cb(nullptr, nullptr, &record_);
    EXPECT_TRUE(perf_.lines().empty());
    EXPECT_TRUE(record_.clogged);
    EXPECT_GE(record_.begin_time.load(), before);
    EXPECT_LT(record_.begin_time.load() - before, pt::seconds(5));
}

TEST(PerfLogBinDeathTest, StageAlreadyInAnotherBinExits) {
    expect_exit_reporting(
        [] {
            GstElement* stage = create_element("identity", "owned");
            add_to_bin(GST_BIN(gst_bin_new("owner")), stage);
            perf_log_and_declog_bin(stage, log4cxx::Logger::getLogger("zorvtest.perf").get(), 1,
                                    false, 0);
        },
        "\\|Failed to add to bin: owned\\|");
}

TEST(PerfLogBinDeathTest, StageThatCannotTakeInputExits) {
    expect_exit_reporting(
        [] {
            perf_log_and_declog_bin(create_element("videotestsrc", "src0"),
                                    log4cxx::Logger::getLogger("zorvtest.perf").get(), 1, false, 0);
        },
        "\\|Failed to link b_perf_src0 -> src0 \\(NULL\\)\\|");
}

} // namespace

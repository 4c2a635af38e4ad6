// SPDX-License-Identifier: LGPL-2.1-or-later
// Element creation, linking and adding to bins, including the failures that end the process.
#include <gtest/gtest.h>

#include <zorvgst/pipeline.h>

#include "support/capture_appender.h"
#include "support/exit_report.h"
#include "support/pipeline_support.h"

namespace {

using zorvtest::expect_exit_reporting;
using zorvtest::LogCapture;
using zorvtest::Pipeline;

TEST(ElementHelpers, CreateElementReturnsElementOfFactoryWithGivenName) {
    LogCapture capture;
    GstElement* element = create_element("fakesink", "named_sink");
    ASSERT_NE(element, nullptr);
    Pipeline owner(element);
    EXPECT_STREQ(GST_OBJECT_NAME(element), "named_sink");
    GstElementFactory* factory = gst_element_get_factory(element);
    ASSERT_NE(factory, nullptr);
    EXPECT_STREQ(GST_OBJECT_NAME(factory), "fakesink");
    EXPECT_TRUE(g_object_is_floating(element) == FALSE); // sunk by the owner
    EXPECT_TRUE(capture.lines().empty());
}

TEST(ElementHelpers, CreateElementWithNullNameLetsGStreamerChooseOne) {
    GstElement* first = create_element("identity", nullptr);
    GstElement* second = create_element("identity", nullptr);
    Pipeline own_first(first);
    Pipeline own_second(second);
    ASSERT_NE(GST_OBJECT_NAME(first), nullptr);
    ASSERT_NE(GST_OBJECT_NAME(second), nullptr);
    EXPECT_STRNE(GST_OBJECT_NAME(first), GST_OBJECT_NAME(second));
}

TEST(ElementHelpers, LinkAndAddBuildAPipelineThatRunsToEndOfStream) {
    LogCapture capture;
    Pipeline pipeline(gst_pipeline_new("built"));
    GstElement* source = create_element("videotestsrc", "source");
    GstElement* sink = create_element("fakesink", "sink");
    g_object_set(source, "num-buffers", 2, nullptr);
    add_to_bin(pipeline.bin(), source);
    add_to_bin(pipeline.bin(), sink);
    // The bin now holds the only reference: nothing leaked, nothing left floating.
    EXPECT_EQ(GST_OBJECT_REFCOUNT_VALUE(sink), 1);
    EXPECT_FALSE(g_object_is_floating(sink));
    EXPECT_EQ(GST_OBJECT_PARENT(sink), GST_OBJECT(pipeline.get()));
    GstCaps* caps = gst_caps_from_string("video/x-raw,format=BGRA,width=16,height=8");
    link_elements(source, sink, caps);
    gst_caps_unref(caps); // the caller's reference; the link holds its own

    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    GstBus* bus = gst_element_get_bus(pipeline.get());
    GstMessage* done = gst_bus_timed_pop_filtered(
        bus, 5 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_EOS);
    gst_message_unref(done);
    gst_object_unref(bus);

    GstPad* sink_pad = gst_element_get_static_pad(sink, "sink");
    GstCaps* negotiated = gst_pad_get_current_caps(sink_pad);
    ASSERT_NE(negotiated, nullptr);
    GstStructure* structure = gst_caps_get_structure(negotiated, 0);
    EXPECT_STREQ(gst_structure_get_string(structure, "format"), "BGRA");
    gst_caps_unref(negotiated);
    gst_object_unref(sink_pad);
    EXPECT_EQ(capture.count_at(log4cxx::Level::ERROR_INT), 0u);
}

TEST(ElementHelpersDeathTest, UnknownFactoryExitsWithNameAndFactoryInLine) {
    expect_exit_reporting(
        [] { create_element("no_such_factory_zorv", "wanted"); },
        "<ERROR\\|CREATE ELEMENT FAILED: wanted \\(factory_type: no_such_factory_zorv\\)\\|");
}

TEST(ElementHelpersDeathTest, NullNameAndNullFactoryAreWrittenAsPlaceholders) {
    expect_exit_reporting(
        [] { create_element("no_such_factory_zorv", nullptr); },
        "\\|CREATE ELEMENT FAILED: \\(null\\) \\(factory_type: no_such_factory_zorv\\)\\|");
    expect_exit_reporting([] { create_element(nullptr, "wanted"); },
                          "\\|CREATE ELEMENT FAILED: wanted \\(factory_type: \\(null\\)\\)\\|");
}

TEST(ElementHelpersDeathTest, IncompatibleLinkWithoutCapsExitsWithNullCapsText) {
    expect_exit_reporting(
        [] {
            link_elements(create_element("fakesink", "sink_a"),
                          create_element("fakesink", "sink_b"), nullptr);
        },
        "<ERROR\\|Failed to link sink_a -> sink_b \\(NULL\\)\\|");
}

TEST(ElementHelpersDeathTest, UnsatisfiableCapsExitWithTheCapsText) {
    expect_exit_reporting(
        [] {
            GstCaps* caps = gst_caps_from_string("audio/x-raw,rate=8000");
            link_elements(create_element("videotestsrc", "vsrc"),
                          create_element("fakesink", "vsink"), caps);
        },
        "<ERROR\\|Failed to link vsrc -> vsink \\(audio/x-raw, rate=\\(int\\)8000\\)\\|");
}

TEST(ElementHelpersDeathTest, AddingAnElementThatHasAParentExits) {
    expect_exit_reporting(
        [] {
            GstElement* element = create_element("identity", "taken");
            add_to_bin(GST_BIN(gst_bin_new("first")), element);
            add_to_bin(GST_BIN(gst_bin_new("second")), element);
        },
        "<ERROR\\|Failed to add to bin: taken\\|");
}

TEST(ElementHelpersDeathTest, DuplicateNameInBinExits) {
    expect_exit_reporting(
        [] {
            GstElement* bin = gst_bin_new("holder");
            add_to_bin(GST_BIN(bin), create_element("identity", "twin"));
            add_to_bin(GST_BIN(bin), create_element("identity", "twin"));
        },
        "<ERROR\\|Failed to add to bin: twin\\|");
}

TEST(ElementHelpersDeathTest, ErrorLevelDisabledStillExitsSilently) {
    const auto silent_failures = {
        +[] { create_element("no_such_factory_zorv", "wanted"); },
        +[] {
            link_elements(create_element("fakesink", nullptr), create_element("fakesink", nullptr),
                          nullptr);
        },
        +[] {
            GstElement* bin = gst_bin_new(nullptr);
            add_to_bin(GST_BIN(bin), create_element("identity", "twin"));
            add_to_bin(GST_BIN(bin), create_element("identity", "twin"));
        },
    };
    for (auto failure : silent_failures) {
        expect_exit_reporting(failure, "^$", log4cxx::Level::getFatal());
    }
}

TEST(ElementHelpersDeathTest, LinesCarryTheUnitAndFullSignatures) {
    // Checked in a child: the location is only visible through the capture of the parent logger.
    expect_exit_reporting(
        [] { create_element("no_such_factory_zorv", "wanted"); },
        "\\|zorvgst\\|GstElement\\* create_element\\(const gchar\\*, const gchar\\*\\)>");
}

} // namespace

// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzzes the rendering adapters whose ends have a known size: double-buffer slots, GStreamer
// buffers and samples, with chosen frame sizes, offsets, crop margins and buffer sizes. Raw memory
// is always given as large as the rectangle needs, since those routines trust their caller.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include <gst/gst.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/render.h>

#include "fuzz_support.h"
#include "posix_object.h"

namespace bip = boost::interprocess;

namespace {

std::string source_name() {
    return zorvfuzz::object_name("render_source");
}
std::string overlay_name() {
    return zorvfuzz::object_name("render_overlay");
}
std::string target_name() {
    return zorvfuzz::object_name("render_target");
}

void remove_objects() {
    for (const std::string& name : {source_name(), overlay_name(), target_name()}) {
        zorvfuzz::remove_posix_object(name);
    }
}

// Raw memory for a `width` x `height` rectangle at (x, y) of a frame `dst_width` wide.
std::vector<guint8> destination_for(uint width, uint height, uint x, uint y, uint dst_width) {
    return std::vector<guint8>(std::size_t{dst_width} * (y + height) * 4 + (x + width) * 4);
}

GstBuffer* buffer_of(std::size_t bytes, guint8 fill) {
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, bytes, nullptr);
    if (buffer != nullptr && bytes > 0) {
        gst_buffer_memset(buffer, 0, fill, bytes);
    }
    return buffer;
}

GstSample* sample_of(uint width, uint height, std::size_t bytes) {
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width",
                                        G_TYPE_INT, static_cast<int>(width), "height", G_TYPE_INT,
                                        static_cast<int>(height), nullptr);
    GstBuffer* buffer = buffer_of(bytes, 0x5A);
    GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
    gst_buffer_unref(buffer);
    gst_caps_unref(caps);
    return sample;
}

} // namespace

void zorvfuzz::clean_up() {
    remove_objects();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zorvfuzz::input in(data, size);
    // Buffers of up to 64 x 64, rectangles and offsets a little beyond them.
    const uint source_width = 1 + in.take_upto(63);
    const uint source_height = 1 + in.take_upto(63);
    const uint overlay_width = 1 + in.take_upto(63);
    const uint overlay_height = 1 + in.take_upto(63);
    const uint target_width = 1 + in.take_upto(63);
    const uint target_height = 1 + in.take_upto(63);
    const uint width = in.take_upto(80);
    const uint height = in.take_upto(80);
    const uint x = in.take_upto(80);
    const uint y = in.take_upto(80);
    const uint dst_width = x + width + in.take_upto(16);
    const uint left = in.take_upto(90);
    const uint right = in.take_upto(90);
    const uint top = in.take_upto(90);
    const uint bottom = in.take_upto(90);
    const std::size_t gst_bytes = in.take_upto(64 * 64 * 4 * 2);
    const std::size_t overlay_sample_bytes = in.take_upto(64 * 64 * 4 * 2);
    const std::uint8_t selector = in.take<std::uint8_t>();

    remove_objects();
    double_buffer_t source_writer(source_name().c_str(), bip::read_write, source_width,
                                  source_height);
    double_buffer_t overlay_writer(overlay_name().c_str(), bip::read_write, overlay_width,
                                   overlay_height);
    double_buffer_t target(target_name().c_str(), bip::read_write, target_width, target_height);
    if (!source_writer.is_valid() || !overlay_writer.is_valid() || !target.is_valid()) {
        return 0;
    }
    // Pixels from the input, so blends see every alpha.
    for (double_buffer_t* writer : {&source_writer, &overlay_writer}) {
        guint8* slot = writer->get_write_address();
        const std::size_t bytes = writer->get_width() * writer->get_height() * 4;
        for (std::size_t i = 0; i < bytes; ++i) {
            slot[i] = in.rest_size() > 0 ? in.rest()[i % in.rest_size()] : static_cast<guint8>(i);
        }
        writer->release_write_sem();
    }
    double_buffer_t source(source_name().c_str(), bip::read_only);
    double_buffer_t overlay(overlay_name().c_str(), bip::read_only);

    std::vector<guint8> raw = destination_for(width, height, x, y, dst_width);
    const std::vector<guint8> frame(std::size_t{width} * height * 4 + 4, 0x33);
    try {
        switch (selector % 12) {
        case 0:
            render(source, raw.data(), width, height, x, y, dst_width);
            break;
        case 1: {
            GstBuffer* buffer = buffer_of(gst_bytes, 0);
            render(source, buffer, width, height, x, y, dst_width);
            gst_buffer_unref(buffer);
            break;
        }
        case 2:
            render(frame.data(), target, width, height, x, y, dst_width);
            break;
        case 3: {
            GstSample* sample = sample_of(width, height, gst_bytes);
            render(sample, target, x, y, dst_width);
            gst_sample_unref(sample);
            break;
        }
        case 4:
            render_with_overlay(source, overlay, raw.data(), width, height, x, y, dst_width);
            break;
        case 5:
            render_with_overlay(frame.data(), frame.data(), target, width, height, x, y, dst_width);
            break;
        case 6: {
            GstBuffer* buffer = buffer_of(gst_bytes, 0);
            render_with_overlay(source, overlay, buffer, width, height, x, y, dst_width);
            gst_buffer_unref(buffer);
            break;
        }
        case 7: {
            GstSample* base = sample_of(width, height, gst_bytes);
            GstSample* over = sample_of(width, height, overlay_sample_bytes);
            render_with_overlay(base, over, target, x, y, dst_width);
            gst_sample_unref(over);
            gst_sample_unref(base);
            break;
        }
        case 8:
            render_with_cropping(source, raw.data(), width, height, x, y, dst_width, left, right,
                                 top, bottom);
            break;
        case 9: {
            GstBuffer* buffer = buffer_of(gst_bytes, 0);
            render_with_cropping(source, buffer, width, height, x, y, dst_width, left, right, top,
                                 bottom);
            gst_buffer_unref(buffer);
            break;
        }
        case 10:
            render_with_cropping(frame.data(), target, width, height, x, y, dst_width, left, right,
                                 top, bottom);
            break;
        default:
            render_with_cropping(frame.data(), raw.data(), width, height, x, y, dst_width, left,
                                 right, top, bottom);
            break;
        }
    } catch (const std::runtime_error&) {
        // Documented refusals of an invalid destination.
    }
    return 0;
}

// SPDX-License-Identifier: LGPL-2.1-or-later
// Launch descriptions of the RTSP media and the encoder choice.
#include "rtsp_pipeline.h"
#include <algorithm>

#include <gst/gst.h>

#include "yuv_format.h"

namespace zorvgst_serve {

namespace {

// Frames a stream passes at most: a faster writer is thinned out rather than encoded in full.
constexpr int max_stream_fps = 60;
// RTP JPEG headers count width and height in units of 8 pixels in one byte.
constexpr int max_jpeg_side = 2040;

} // namespace

encoder_choice usable_encoder(encoder_choice wanted, bool x264_available) {
    return wanted == encoder_choice::x264 && !x264_available ? encoder_choice::jpeg : wanted;
}

const char* encoder_name(encoder_choice encoder) {
    return encoder == encoder_choice::x264 ? "x264" : "jpeg";
}

bool have_x264enc() {
    GstElementFactory* factory = gst_element_factory_find("x264enc");
    if (factory == nullptr) {
        return false;
    }
    gst_object_unref(factory);
    return true;
}

std::string launch_description(const zorvgst::buffer_status& buffer,
                               const std::string& frame_format, encoder_choice encoder) {
    // The leaky queue drops frames the encoder cannot take yet, so that no client ever holds up
    // the reader, let alone the writer. The rate limit only drops: with a variable rate after it,
    // videorate never repeats a frame to fill a rate of its own guessing.
    std::string description = "( zorvdbsrc buffer-name=" + buffer.name +
                              " backend=" + zorvgst::backend_name(buffer.backend) +
                              " ! queue leaky=downstream max-size-buffers=2 max-size-bytes=0 "
                              "max-size-time=0 ! videorate max-rate=" +
                              std::to_string(max_stream_fps) + " ! video/x-raw,framerate=0/1 ! ";
    if (encoder == encoder_choice::x264) {
        if (buffer.width % 2 != 0 || buffer.height % 2 != 0) {
            // 4:2:0 H.264 needs even sides: such frames are scaled to the even size below.
            const auto even = [](std::uint32_t side) {
                return std::to_string(std::max(2u, side & ~1u));
            };
            description += "videoscale ! video/x-raw,width=" + even(buffer.width) +
                           ",height=" + even(buffer.height) + " ! ";
        }
        // Key frames come at least every 30 frames, and at once for each client that joins; the
        // parameter sets go with every key frame, so a joining decoder can start there.
        description += "videoconvert ! video/x-raw,format=I420 ! x264enc name=enc "
                       "tune=zerolatency speed-preset=ultrafast key-int-max=30 ! "
                       "rtph264pay name=pay0 pt=96 config-interval=-1 )";
    } else {
        const std::string side = std::to_string(max_jpeg_side);
        description += "videoscale ! video/x-raw,width=[1," + side + "],height=[1," + side +
                       "],pixel-aspect-ratio=1/1 ! videoconvert ! ";
        if (is_yuv_format(frame_format)) {
            // Through RGB: a YUV frame would keep its limited range on the way to full range.
            description += "video/x-raw,format=BGRx ! videoconvert ! ";
        }
        // JPEG decoders take full-range samples (limited range would wash colours out), and
        // RTP carries only 4:2:0 and 4:2:2 JPEG.
        description += "video/x-raw,format=I420,colorimetry=1:4:0:0 ! jpegenc name=enc "
                       "quality=85 ! rtpjpegpay name=pay0 pt=26 )";
    }
    return description;
}

} // namespace zorvgst_serve

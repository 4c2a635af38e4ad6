// The torn-frame guard of the source element.
#include "frame_grab.h"
#include <atomic>

#include "frame_copy.h"

namespace zorvplugin {

grab_result_t grab_newest_frame(frame_reader_t& reader, guint8* dst, std::size_t dst_stride,
                                unsigned max_attempts) {
    grab_result_t result;
    const std::size_t src_stride = static_cast<std::size_t>(reader.width()) * 4;
    for (unsigned attempt = 0; attempt < max_attempts; ++attempt) {
        if (reader.layout_changed()) {
            result.kind = grab_result_t::layout_changed;
            return result;
        }
        // frame_count is read before the indicator (inside begin_read) and again after the
        // copy. Publication stores the count before the writer returns to fill the other slot,
        // so a copy whose slot the writer began to rewrite always sees the count move.
        const std::uint64_t count_before = reader.frame_count();
        std::atomic_thread_fence(std::memory_order_acquire);
        const guint8* slot = reader.begin_read();
        copy_frame(slot, src_stride, dst, dst_stride, reader.width(), reader.height());
        reader.end_read();
        std::atomic_thread_fence(std::memory_order_acquire);
        const std::uint64_t count_after = reader.frame_count();
        if (count_after == count_before) {
            result.kind = grab_result_t::copied;
            result.shown = reader.last_write_time();
            return result;
        }
        if (reader.layout_changed()) {
            result.kind = grab_result_t::layout_changed;
            return result;
        }
        ++result.dropped;
    }
    result.kind = grab_result_t::torn;
    return result;
}

} // namespace zorvplugin

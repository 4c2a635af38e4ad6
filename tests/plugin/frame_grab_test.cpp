// The source's torn-frame guard against a writer that publishes during the copy.
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/conversion.hpp>
#include <gtest/gtest.h>

#include "frame_copy.h"
#include "frame_grab.h"

namespace {

using zorvplugin::grab_result_t;

// A 2x1 buffer whose writer publishes `publications[i]` times during the i-th copy.
class scripted_reader_t : public zorvplugin::frame_reader_t {
public:
    explicit scripted_reader_t(std::vector<unsigned> publications)
        : publications_(std::move(publications)), slot_(8) {}

    bool try_open() override { return true; }
    std::uint32_t width() const override { return 2; }
    std::uint32_t height() const override { return 1; }
    bool layout_changed() const override { return resized_; }
    std::uint64_t frame_count() const override { return count_; }
    boost::posix_time::ptime last_write_time() const override {
        return boost::posix_time::from_time_t(1000) + boost::posix_time::seconds(count_);
    }
    void wait_for_write(std::chrono::milliseconds) override {}
    const guint8* begin_read() override {
        for (auto& byte : slot_) {
            byte = static_cast<guint8>(copies_ + 1);
        }
        return slot_.data();
    }
    void end_read() override {
        const unsigned published = copies_ < publications_.size() ? publications_[copies_] : 0;
        count_ += published;
        if (published > 0 && reset_on_publish_) {
            count_ = 0;
            resized_ = true;
        }
        ++copies_;
    }

    unsigned copies() const { return copies_; }
    void reset_header_on_publish() { reset_on_publish_ = true; }

private:
    std::vector<unsigned> publications_;
    std::vector<guint8> slot_;
    std::uint64_t count_ = 10;
    unsigned copies_ = 0;
    bool resized_ = false;
    bool reset_on_publish_ = false;
};

struct grab_case_t {
    std::vector<unsigned> publications;
    grab_result_t::kind_t kind;
    unsigned dropped;
    unsigned copies;
};

void PrintTo(const grab_case_t& c, std::ostream* out) {
    *out << "publications during copies:";
    for (unsigned n : c.publications) {
        *out << " " << n;
    }
}

class FrameGrab : public ::testing::TestWithParam<grab_case_t> {};

TEST_P(FrameGrab, RetriesEveryCopyAPublicationOverlapped) {
    const grab_case_t& c = GetParam();
    scripted_reader_t reader(c.publications);
    std::vector<guint8> dst(8, 0);
    const grab_result_t result = zorvplugin::grab_newest_frame(reader, dst.data(), 8, 3);
    EXPECT_EQ(result.kind, c.kind);
    EXPECT_EQ(result.dropped, c.dropped);
    EXPECT_EQ(reader.copies(), c.copies);
    if (c.kind == grab_result_t::copied) {
        // The bytes of the copy that was kept: the last one made.
        EXPECT_EQ(dst, std::vector<guint8>(8, static_cast<guint8>(c.copies)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Publications, FrameGrab,
    ::testing::Values(grab_case_t{{0}, grab_result_t::copied, 0, 1},
                      // One publication is enough: the writer then refills the slot being read.
                      grab_case_t{{1, 0}, grab_result_t::copied, 1, 2},
                      grab_case_t{{2, 0}, grab_result_t::copied, 1, 2},
                      grab_case_t{{5, 3, 0}, grab_result_t::copied, 2, 3},
                      // Bounded: after three torn copies it gives the frame up.
                      grab_case_t{{1, 1, 1, 0}, grab_result_t::torn, 3, 3}),
    [](const ::testing::TestParamInfo<grab_case_t>& param_info) {
        std::string name = "Publishing";
        for (unsigned n : param_info.param.publications) {
            name += "_" + std::to_string(n);
        }
        return name;
    });

TEST(FrameGrabShown, NamesTheLastWriteTimeOfTheWholeCopy) {
    scripted_reader_t reader({3, 0});
    std::vector<guint8> dst(8);
    const auto result = zorvplugin::grab_newest_frame(reader, dst.data(), 8, 3);
    ASSERT_EQ(result.kind, grab_result_t::copied);
    EXPECT_EQ(result.shown, reader.last_write_time());
}

TEST(FrameGrabShown, HeaderResetDuringTheCopyIsALayoutChangeNotADrop) {
    scripted_reader_t reader({1});
    reader.reset_header_on_publish();
    std::vector<guint8> dst(8);
    const auto result = zorvplugin::grab_newest_frame(reader, dst.data(), 8, 3);
    EXPECT_EQ(result.kind, grab_result_t::layout_changed);
    EXPECT_EQ(result.dropped, 0u);
}

TEST(FrameCopy, RowsLandAtEachSidesStrideAndPaddingStaysUntouched) {
    constexpr guint width = 3;
    constexpr guint height = 2;
    // Packed source, padded source; destination strides of whole pixels and of odd bytes.
    for (const std::size_t src_stride : {std::size_t{12}, std::size_t{20}}) {
        for (const std::size_t dst_stride : {std::size_t{12}, std::size_t{16}, std::size_t{13}}) {
            std::vector<guint8> src(src_stride * height, 0xAA);
            for (guint row = 0; row < height; ++row) {
                for (guint byte = 0; byte < width * 4; ++byte) {
                    src[row * src_stride + byte] = static_cast<guint8>(row * 100 + byte);
                }
            }
            std::vector<guint8> dst(dst_stride * height, 0xEE);
            zorvplugin::copy_frame(src.data(), src_stride, dst.data(), dst_stride, width, height);
            for (guint row = 0; row < height; ++row) {
                for (std::size_t byte = 0; byte < dst_stride; ++byte) {
                    const guint8 expected =
                        byte < width * 4 ? static_cast<guint8>(row * 100 + byte) : 0xEE;
                    ASSERT_EQ(dst[row * dst_stride + byte], expected)
                        << "src stride " << src_stride << ", dst stride " << dst_stride << ", row "
                        << row << ", byte " << byte;
                }
            }
        }
    }
}

} // namespace

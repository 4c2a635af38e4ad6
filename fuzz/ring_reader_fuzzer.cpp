// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzzes a frame-ring reader on a ring whose header, slot records and lease table a hostile
// process rewrote: attaching, waiting, copying, leasing every plane, and the supervisor's probe.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>

#include "fuzz_support.h"
#include "posix_object.h"

namespace {

std::string name() {
    return zorvfuzz::object_name("ring");
}

/// A valid ring with one frame, made once by the real writer: what the input rewrites.
const std::vector<std::uint8_t>& valid_ring() {
    static const std::vector<std::uint8_t>* const bytes = [] {
        zorvgst::ring_options options;
        options.readers = 2;
        options.leases_per_reader = 2;
        options.metadata_bytes = 64;
        {
            zorvgst::frame_writer writer(name(), zorvgst::frame_format::of("NV12", 24, 16),
                                         options);
            std::memset(writer.frame(), 0x5A, writer.format().size);
            writer.publish();
        }
        std::ifstream file("/dev/shm/" + name(), std::ios::binary);
        auto* content = new std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
        zorvfuzz::remove_posix_object(name());
        return content;
    }();
    return *bytes;
}

/// The valid ring with the input's patches: (offset into the first 8 KiB, 8 bytes) each, then
/// cut to a size the input picks.
bool plant_object(zorvfuzz::input in) {
    std::vector<std::uint8_t> bytes = valid_ring();
    const std::uint32_t cut = in.take_upto(3);
    while (in.rest_size() >= 10) {
        const std::uint32_t offset = in.take<std::uint16_t>() % 8192;
        const std::uint64_t value = in.take<std::uint64_t>();
        if (offset + sizeof(value) <= bytes.size()) {
            std::memcpy(bytes.data() + offset, &value, sizeof(value));
        }
    }
    const std::size_t sizes[] = {bytes.size(), bytes.size() / 2, 4096, 100};
    return zorvfuzz::plant_posix_object(name(), sizes[cut], bytes.data(), bytes.size());
}

std::uint8_t touch(const std::uint8_t* bytes, std::size_t size) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        sum = static_cast<std::uint8_t>(sum + bytes[i]);
    }
    return sum;
}

void read_as_consumer() {
    zorvgst::frame_reader reader(name());
    reader.wait(std::chrono::nanoseconds(0));
    reader.newest();
    const std::optional<zorvgst::frame_format> format = reader.format();
    if (!format) {
        return;
    }
    std::vector<std::uint8_t> copied(format->size);
    std::vector<std::uint8_t> metadata;
    zorvgst::frame_timing timing;
    reader.copy(copied.data(), copied.size(), &timing, &metadata);
    if (format->planes == 1) {
        std::vector<std::uint8_t> rows(format->row_bytes(0) * format->height);
        reader.read(rows.data(), format->row_bytes(0), rows.size());
    }
    // Every byte a consumer of the lease may read: each plane's rows and the metadata.
    if (std::optional<zorvgst::frame_lease> lease = reader.hold()) {
        for (unsigned i = 0; i < lease->format().planes; ++i) {
            const std::size_t rows = lease->format().plane_height(i);
            for (std::size_t row = 0; row < rows; ++row) {
                touch(lease->plane(i) + row * lease->stride(i), lease->format().row_bytes(i));
            }
        }
        touch(lease->metadata(), lease->metadata_size());
    }
    reader.view([](const std::uint8_t*, std::size_t, const zorvgst::frame_info&) {});
}

} // namespace

void zorvfuzz::clean_up() {
    zorvfuzz::remove_posix_object(name());
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    valid_ring();
    if (plant_object(zorvfuzz::input(data, size))) {
        read_as_consumer();
        zorvgst::find_buffer(name());
        zorvgst::describe_ring(name());
    }
    zorvfuzz::remove_posix_object(name());
    return 0;
}

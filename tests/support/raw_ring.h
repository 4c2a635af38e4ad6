// SPDX-License-Identifier: LGPL-2.1-or-later
// A frame ring's header and reader table mapped the way any other process could map them, for
// tests that play a broken or crashed peer.
#pragma once

#include <cstdint>
#include <string>

#include "internal/ring/layout.h"

namespace zorvtest {

class RawRing {
public:
    /// Maps the whole object of `name` read-write; mapped() is false when it cannot.
    explicit RawRing(const std::string& name);
    ~RawRing();
    RawRing(const RawRing&) = delete;
    RawRing& operator=(const RawRing&) = delete;

    bool mapped() const { return base_ != nullptr; }
    zorvgst::detail::ring::ring_header& header() const;
    zorvgst::detail::ring::slot_record& record(std::uint32_t slot) const;
    /// Word 0 of reader entry `index` is its owner, words 1..L its leases.
    std::uint64_t* reader_entry(std::uint32_t index) const;

private:
    unsigned char* base_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace zorvtest

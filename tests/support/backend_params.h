// SPDX-License-Identifier: LGPL-2.1-or-later
// Test suites typed over both backends: the parameter naming the backend, and a fixture owning
// one buffer name for the running test.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include <zorvgst/backend.h>
#include <zorvgst/frames.h>

#include "support/shm_guard.h"

namespace zorvtest {

struct Posix {
    static constexpr zorvgst::backend kind = zorvgst::backend::posix;
};
struct Sysv {
    static constexpr zorvgst::backend kind = zorvgst::backend::sysv;
};

using Backends = ::testing::Types<Posix, Sysv>;

/// Names the typed cases "posix" and "sysv" rather than 0 and 1.
class BackendNames {
public:
    template <typename T> static std::string GetName(int) { return zorvgst::backend_name(T::kind); }
};

/// The buffer of the running test, removed however the test ends, and its writers on the
/// backend under test.
template <typename Backend> class BackendTest : public ::testing::Test {
protected:
    zorvgst::frame_writer writer(unsigned width, unsigned height) {
        return zorvgst::frame_writer(guard_.name(), width, height, Backend::kind);
    }
    ShmGuard guard_;
};

} // namespace zorvtest

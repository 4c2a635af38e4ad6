// SPDX-License-Identifier: LGPL-2.1-or-later
// Test entry: defines the host logger the library logs to and installs the capturing appender.
#include <gtest/gtest.h>

#include <zorvgst/library.h>

#include "support/capture_appender.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvgst");

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    zorvtest::install_capture_appender();
    zorvgstlib_init(argc, argv);
    return RUN_ALL_TESTS();
}

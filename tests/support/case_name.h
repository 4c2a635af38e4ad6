// SPDX-License-Identifier: LGPL-2.1-or-later
// Names the cases of a value-parameterised suite after the `name` member of each case.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace zorvtest {

/// The name generator for INSTANTIATE_TEST_SUITE_P over case structs with a `name` member.
struct case_name {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

} // namespace zorvtest

// SPDX-License-Identifier: LGPL-2.1-or-later
// The main() of the benchmark programs that run on an initialised library.
#pragma once

#include <benchmark/benchmark.h>

#include <zorvgst/library.h>

namespace zorvbench {

/// Initialises the library as a host would, then runs the benchmarks the command line selects;
/// an argument Google Benchmark does not know makes it fail instead.
inline int run_benchmarks(int argc, char** argv) {
    zorvgstlib_init(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace zorvbench

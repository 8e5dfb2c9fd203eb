// The whole update as a user runs it: qxtool update against a qxsim that
// takes 125 us (the argument) to answer each call, with the update's real
// pauses. Its wall time is set against the floor that the device and the
// rules impose: calls x latency, plus the two one-second pauses of an update
// whose first check matches. With a latency of 0 the excess over the floor
// is the host's and the transport's own time.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "qxproc.h"
#include "qxtrace_read.h"

namespace
{

const double k_pauses_s = 2.0;

// The calls of one update, from a traced run (the count does not depend on
// timing, and the trace's own cost stays out of the timed runs).
size_t count_calls()
{
    TempDir dir;
    SimDaemon sim;
    if (!sim.start(QXSIM_PATH, dir.path(), {}))
        return 0;
    std::string trace = dir.file("update.jsonl");
    ProcResult r =
        proc_run({QXTOOL_PATH, "--trace", trace, "update", "--yes"},
                 {{"QX_DEVICE_DIR", dir.path().c_str()}, {"QX_TEST_SLEEP_SCALE", "0.001"}});
    std::vector<QxTraceCall> calls;
    std::string why;
    if (r.status != 0 || qxtrace_load(trace.c_str(), &calls, &why) != 0)
        return 0;
    return calls.size();
}

void BM_UpdateAgainstFloor(benchmark::State &state)
{
    size_t calls = count_calls();
    if (!calls) {
        state.SkipWithError("the counting run failed");
        return;
    }
    const int64_t latency_us = state.range(0);
    double floor_s = (double)calls * (double)latency_us * 1e-6 + k_pauses_s;
    double total_s = 0;
    for (auto _ : state) {
        TempDir dir;
        SimDaemon sim;
        if (!sim.start(QXSIM_PATH, dir.path(), {"--latency-us", std::to_string(latency_us)})) {
            state.SkipWithError("qxsim did not start");
            break;
        }
        ProcResult r = proc_run(
            {QXTOOL_PATH, "update", "--yes"},
            {{"QX_DEVICE_DIR", dir.path().c_str()}, {"QX_TEST_SLEEP_SCALE", nullptr}}, 120);
        if (r.status != 0) {
            state.SkipWithError("the update failed");
            break;
        }
        state.SetIterationTime(r.seconds);
        total_s += r.seconds;
    }
    double wall_s = state.iterations() ? total_s / (double)state.iterations() : 0;
    state.counters["calls"] = (double)calls;
    state.counters["floor_s"] = floor_s;
    state.counters["wall_s"] = wall_s;
    state.counters["ratio"] = floor_s > 0 ? wall_s / floor_s : 0;
}
BENCHMARK(BM_UpdateAgainstFloor)
    ->ArgName("latency_us")
    ->Arg(125)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();

// The whole update as a user runs it: qxtool update against a qxsim that
// takes 125 us (the argument) to answer each call, with the update's real
// pauses. Its wall time is set against the floor that the device and the
// rules impose: the device's own service time (qxsim's summary), plus the
// two one-second pauses of an update whose first check matches. With a
// latency of 0 the excess over the floor is the host's and the transport's
// own time.
#include <benchmark/benchmark.h>

#include <cstdlib>
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
    ProcResult r = proc_run({QXTOOL_PATH, "--trace", trace, "update", "--yes"},
                            {{"QX_DEVICE_DIR", dir.path().c_str()},
                             {"QX_TEST_SLEEP_SCALE", "0.001"},
                             {"QXUPDATER_STATE_DIR", dir.path().c_str()}});
    std::vector<QxTraceCall> calls;
    std::string why;
    if (r.status != 0 || qxtrace_load(trace.c_str(), &calls, &why) != 0)
        return 0;
    return calls.size();
}

// The device's own time for the run, from the summary qxsim writes on exit;
// -1 when it has none.
double service_seconds(const SimDaemon &sim)
{
    const std::string text = read_text_file(sim.summary_path());
    const std::string key = "\"service_us\": ";
    size_t at = text.find(key);
    if (at == std::string::npos)
        return -1;
    return (double)strtoull(text.c_str() + at + key.size(), nullptr, 10) * 1e-6;
}

void BM_UpdateAgainstFloor(benchmark::State &state)
{
    size_t calls = count_calls();
    if (!calls) {
        state.SkipWithError("the counting run failed");
        return;
    }
    const int64_t latency_us = state.range(0);
    double total_s = 0, service_s = 0;
    for (auto _ : state) {
        TempDir dir;
        SimDaemon sim;
        if (!sim.start(QXSIM_PATH, dir.path(), {"--latency-us", std::to_string(latency_us)})) {
            state.SkipWithError("qxsim did not start");
            break;
        }
        ProcResult r = proc_run({QXTOOL_PATH, "update", "--yes"},
                                {{"QX_DEVICE_DIR", dir.path().c_str()},
                                 {"QX_TEST_SLEEP_SCALE", nullptr},
                                 {"QXUPDATER_STATE_DIR", dir.path().c_str()}},
                                120);
        sim.stop();
        double service = service_seconds(sim);
        if (r.status != 0 || service < 0) {
            state.SkipWithError(r.status ? "the update failed" : "qxsim wrote no summary");
            break;
        }
        state.SetIterationTime(r.seconds);
        total_s += r.seconds;
        service_s += service;
    }
    const double n = state.iterations() ? (double)state.iterations() : 1;
    const double wall_s = total_s / n;
    const double floor_s = service_s / n + k_pauses_s;
    state.counters["calls"] = (double)calls;
    state.counters["service_s"] = service_s / n;
    state.counters["wall_s"] = wall_s;
    state.counters["ratio"] = wall_s / floor_s;
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

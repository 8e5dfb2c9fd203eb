// The firmware transfer of a 315,424-byte image with qxctl_update_firmware:
// how many I/O-control calls it makes and what each costs the host, with
// the simulated device in-process and behind the socket in a qxsim process.
// The module's pauses are skipped (and summed), so the time is the host's.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "prgdecode.h"
#include "qxctl.h"
#include "qxproc.h"
#include "qxsim_device.h"
#include "qxsys.h"

namespace
{

const uint32_t k_image_size = 315424;

struct Counting {
    const UsbdevsBackend *inner = nullptr;
    uint64_t calls = 0;
    UsbdevsBackend backend;
};

int count_init(void *self)
{
    auto *c = static_cast<Counting *>(self);
    return c->inner->init ? c->inner->init(c->inner->self) : 0;
}

int count_find(void *self, const char *service, uint16_t *path, size_t cap, int *status)
{
    auto *c = static_cast<Counting *>(self);
    return c->inner->find(c->inner->self, service, path, cap, status);
}

int count_ioctl(void *self, const uint16_t *path, const uint8_t *in, uint32_t in_size, uint8_t *out,
                uint32_t out_size, uint32_t *returned, uint32_t *error)
{
    auto *c = static_cast<Counting *>(self);
    c->calls++;
    return c->inner->ioctl(c->inner->self, path, in, in_size, out, out_size, returned, error);
}

void count_print_error(void *self, uint32_t error)
{
    auto *c = static_cast<Counting *>(self);
    c->inner->print_error(c->inner->self, error);
}

uint64_t g_slept_ms = 0;
void skip_sleep(void *, uint32_t ms)
{
    g_slept_ms += ms;
}
void discard(void *, const char *, size_t) {}

void transfer(benchmark::State &state, const UsbdevsBackend *inner)
{
    std::vector<uint8_t> image = qxsim_make_image("QX-20", 230, 57, k_image_size, 20);
    Counting counting;
    counting.inner = inner;
    counting.backend = {count_init, count_find, count_ioctl, count_print_error, &counting};
    usbdevs_set_backend(&counting.backend);
    qx_set_sleep(skip_sleep, nullptr);
    qx_set_output(discard, nullptr);

    QxCtl ctl;
    QxChannel ch = nullptr;
    qxctl_clear(&ctl);
    qxctl_init(&ctl);
    if (qxctl_open(&ctl, &ch) != 0) {
        state.SkipWithError("no device");
    } else {
        uint64_t calls = 0;
        g_slept_ms = 0;
        for (auto _ : state) {
            counting.calls = 0;
            if (qxctl_update_firmware(&ch, image.data(), (uint32_t)image.size(), nullptr) != 0) {
                state.SkipWithError("transfer failed");
                break;
            }
            calls += counting.calls;
        }
        // The device must hold the image: its checksum over the check size
        // is the header's.
        PrgHeader hdr;
        prg_copy_header(&hdr, image.data());
        uint32_t sum = 0;
        if (qxctl_get_checksum(&ch, (uint32_t)prg_get_check_size(&hdr), &sum) != 0 ||
            sum != prg_get_checksum(&hdr))
            state.SkipWithError("device checksum differs from the header's");
        state.counters["calls"] =
            benchmark::Counter((double)calls, benchmark::Counter::kAvgIterations);
        state.counters["per_call"] = benchmark::Counter(
            (double)calls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
        state.counters["skipped_sleep_ms"] =
            benchmark::Counter((double)g_slept_ms, benchmark::Counter::kAvgIterations);
        state.SetBytesProcessed((int64_t)state.iterations() * k_image_size);
    }
    qx_set_output(nullptr, nullptr);
    qx_set_sleep(nullptr, nullptr);
    usbdevs_set_backend(nullptr);
}

void BM_TransferInProcess(benchmark::State &state)
{
    QxSimDevice dev;
    UsbdevsBackend b = qxsim_backend(&dev);
    transfer(state, &b);
}
BENCHMARK(BM_TransferInProcess)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_TransferSocket(benchmark::State &state)
{
    TempDir dir;
    SimDaemon sim;
    if (!sim.start(QXSIM_PATH, dir.path(), {})) {
        state.SkipWithError("qxsim did not start");
        return;
    }
    setenv("QX_DEVICE_DIR", dir.path().c_str(), 1);
    transfer(state, usbdevs_platform_backend());
    unsetenv("QX_DEVICE_DIR");
}
BENCHMARK(BM_TransferSocket)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

// Fixtures of the window and worker tests: a virtual clock safe to share
// with the worker's thread, a simulated device routed into this process, a
// backend wrapper that stops answering after a given request, and a watcher
// that reads and answers modal boxes.
#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qxsim_device.h"
#include "updatecontext.h"
#include "usbdevs.h"

// How long a test waits for the worker to reach a point or finish: whole
// transfers of the catalogue image run on real time (only the pauses are
// virtual), under Wine on a machine shared with builds, and took up to 22 s.
// A bound against a hang, never a claim of speed.
constexpr int k_update_wait_ms = 120000;

class QWidget;

// Installed as the modules' sleep for its lifetime. Sleeps may come from any
// thread; on_sleep runs on the sleeping thread.
class SharedClock
{
  public:
    SharedClock();
    ~SharedClock();
    SharedClock(const SharedClock &) = delete;
    SharedClock &operator=(const SharedClock &) = delete;

    uint64_t now_ms() const;
    std::vector<uint32_t> sleeps() const;
    // How many sleeps of exactly ms were taken.
    int count(uint32_t ms) const;
    std::function<void(uint32_t ms)> on_sleep; // set before any sleeper starts

  private:
    static void hook(void *self, uint32_t ms);
    mutable std::mutex mutex_;
    uint64_t now_ = 0;
    std::vector<uint32_t> sleeps_;
};

// Holds a sleeping thread until the test opens it.
class Gate
{
  public:
    void wait();    // called by the held thread
    bool reached(); // whether a thread is waiting now
    void open();
    bool wait_reached(int timeout_ms);

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
    bool waiting_ = false;
};

// A simulated device that this process's device access reaches. Can be made
// to fail every call from the nth request message on (fail_from_send). The
// device is strict: a call that breaks the device contract fails the running
// test when the rig goes, unless the test says it breaks it on purpose.
class SimRig
{
  public:
    explicit SimRig(const QxSimConfig &config = QxSimConfig());
    ~SimRig();
    SimRig(const SimRig &) = delete;
    SimRig &operator=(const SimRig &) = delete;

    QxSimDevice dev;
    // 0: never; n: the nth request message and every call after it fail.
    int fail_from_send = 0;
    int sends() const { return sends_; }
    // Calls made while nobody held the device's lock.
    int unlocked_calls() const { return unlocked_; }
    bool breaches_expected = false;
    // Devices listed after this one (paths that answer nothing), as with
    // several connected.
    std::vector<std::string> others;

  private:
    static int init(void *self);
    static int find(void *self, const char *service, uint16_t *path, size_t cap, int *status);
    static int ioctl(void *self, const uint16_t *path, const uint8_t *in, uint32_t in_size,
                     uint8_t *out, uint32_t out_size, uint32_t *returned, uint32_t *error);
    static void print_error(void *self, uint32_t error);
    static unsigned list(void *self, const char *service, QxDevice *devices, unsigned cap);
    UsbdevsBackend inner_;
    UsbdevsBackend outer_;
    int sends_ = 0;
    std::atomic<int> unlocked_{0};
};

// Keeps the modules' diagnostic lines out of the test log.
class QuietOutput
{
  public:
    QuietOutput();
    ~QuietOutput();
};

// An image the reader accepts.
std::vector<uint8_t> make_image(const char *product, uint16_t version, uint16_t build,
                                uint32_t size = 4096, uint32_t pattern = 7);

// Polls for the active modal widget and hands each new one to the next
// handler; a box without a handler is recorded and rejected.
class ModalWatcher : public QObject
{
    Q_OBJECT

  public:
    using Handler = std::function<void(QWidget *)>;
    ModalWatcher();

    void expect(Handler handler) { handlers.push_back(std::move(handler)); }
    // Records the box and presses the given standard button.
    void answer(int button);

    struct Seen {
        QString kind; // class name
        QString title;
        QString text;
        int buttons = 0; // message boxes: their standard buttons
    };
    std::vector<Seen> seen;
    std::deque<Handler> handlers;

  private slots:
    void poll();

  private:
    QTimer timer;
    QPointer<QWidget> last;
};

// Presses a message box's standard button.
void press(QWidget *box, int button);

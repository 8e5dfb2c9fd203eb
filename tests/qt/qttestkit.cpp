#include "qttestkit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <string>

#include "qxlock.h"
#include "qxsys.h"

SharedClock::SharedClock()
{
    qx_set_sleep(&SharedClock::hook, this);
}

SharedClock::~SharedClock()
{
    qx_set_sleep(nullptr, nullptr);
}

void SharedClock::hook(void *self, uint32_t ms)
{
    auto *c = static_cast<SharedClock *>(self);
    {
        std::lock_guard<std::mutex> lock(c->mutex_);
        c->now_ += ms;
        c->sleeps_.push_back(ms);
    }
    if (c->on_sleep)
        c->on_sleep(ms);
}

uint64_t SharedClock::now_ms() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

std::vector<uint32_t> SharedClock::sleeps() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sleeps_;
}

int SharedClock::count(uint32_t ms) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (uint32_t s : sleeps_)
        n += s == ms;
    return n;
}

void Gate::wait()
{
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
    waiting_ = false;
}

bool Gate::reached()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

bool Gate::wait_reached(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return waiting_; });
}

void Gate::open()
{
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
}

SimRig::SimRig(const QxSimConfig &config) : dev(config)
{
    inner_ = qxsim_backend(&dev);
    outer_.init = &SimRig::init;
    outer_.find = &SimRig::find;
    outer_.ioctl = &SimRig::ioctl;
    outer_.print_error = &SimRig::print_error;
    outer_.list = &SimRig::list;
    outer_.self = this;
    usbdevs_set_backend(&outer_);
}

SimRig::~SimRig()
{
    usbdevs_set_backend(nullptr);
    std::vector<QxSimBreach> breaches = dev.breaches();
    if (breaches.empty() || breaches_expected)
        return;
    std::string text = "the host broke the device contract:";
    for (const QxSimBreach &b : breaches)
        text += "\n  call " + std::to_string(b.call) + ": " + b.kind + ": " + b.text;
    QTest::qFail(text.c_str(), __FILE__, __LINE__);
}

int SimRig::init(void *self)
{
    auto *r = static_cast<SimRig *>(self);
    return r->inner_.init(r->inner_.self);
}

int SimRig::find(void *self, const char *service, uint16_t *path, size_t cap, int *status)
{
    auto *r = static_cast<SimRig *>(self);
    return r->inner_.find(r->inner_.self, service, path, cap, status);
}

unsigned SimRig::list(void *self, const char *service, QxDevice *devices, unsigned cap)
{
    auto *r = static_cast<SimRig *>(self);
    unsigned n = 0;
    if (n < cap && find(self, service, devices[n].path, USBDEVS_PATH_UNITS, nullptr))
        n++;
    for (const std::string &path : r->others)
        if (n < cap &&
            usbdevs_path_from_utf8(devices[n].path, USBDEVS_PATH_UNITS, path.c_str()) == 0)
            n++;
    return n;
}

int SimRig::ioctl(void *self, const uint16_t *path, const uint8_t *in, uint32_t in_size,
                  uint8_t *out, uint32_t out_size, uint32_t *returned, uint32_t *error)
{
    auto *r = static_cast<SimRig *>(self);
    if (qxlock_holder(path, nullptr) != 0)
        r->unlocked_++;
    bool send = in_size >= USBDEVS_HEADER_SIZE && in[0] == 0 && in[15] == QXREQ_SEND;
    if (send)
        r->sends_++;
    if (r->fail_from_send > 0 && r->sends_ >= r->fail_from_send) {
        if (returned)
            *returned = 0;
        if (error)
            *error = USBDEVS_ERROR_GEN_FAILURE;
        return USBDEVS_ERR_CALL;
    }
    return r->inner_.ioctl(r->inner_.self, path, in, in_size, out, out_size, returned, error);
}

void SimRig::print_error(void *self, uint32_t error)
{
    auto *r = static_cast<SimRig *>(self);
    r->inner_.print_error(r->inner_.self, error);
}

static void discard(void *, const char *, size_t) {}

QuietOutput::QuietOutput()
{
    qx_set_output(&discard, nullptr);
}

QuietOutput::~QuietOutput()
{
    qx_set_output(nullptr, nullptr);
}

std::vector<uint8_t> make_image(const char *product, uint16_t version, uint16_t build,
                                uint32_t size, uint32_t pattern)
{
    return qxsim_make_image(product, version, build, size, pattern);
}

ModalWatcher::ModalWatcher()
{
    connect(&timer, &QTimer::timeout, this, &ModalWatcher::poll);
    timer.start(5);
}

void ModalWatcher::answer(int button)
{
    expect([button](QWidget *w) { press(w, button); });
}

void ModalWatcher::poll()
{
    QWidget *w = QApplication::activeModalWidget();
    if (!w || w == last || !w->isVisible())
        return;
    last = w;
    Seen s;
    s.kind = w->metaObject()->className();
    s.title = w->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(w)) {
        s.text = box->text();
        s.buttons = int(box->standardButtons());
    }
    seen.push_back(s);
    if (handlers.empty()) {
        if (auto *d = qobject_cast<QDialog *>(w))
            d->reject();
        return;
    }
    Handler h = std::move(handlers.front());
    handlers.pop_front();
    h(w);
}

void press(QWidget *w, int button)
{
    auto *box = qobject_cast<QMessageBox *>(w);
    if (!box)
        return;
    QAbstractButton *b = box->button(QMessageBox::StandardButton(button));
    if (b)
        b->click();
    else
        box->reject();
}

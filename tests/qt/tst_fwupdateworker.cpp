// The update worker's signal sequences for each outcome, against the
// simulated device, with every pause taken in virtual time.
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

#include "fwupdateworker.h"
#include "qttestkit.h"
#include "qxlimits.h"
#include "qxsys.h"
#include "updatecontext.h"
#include "updaterules.h"

namespace
{

const char k_completed[] = "Completed.\n\nPlease turn the device's power on again.";
const char k_not_equal[] =
    "Hardware checksum is not equal to firmware.\n\nPlease contact the technical support.";

// Every signal of one run, in order, as "text:", "error:" or "finished".
struct Recorder {
    QStringList log;
    explicit Recorder(FWUpdateWorker *w)
    {
        QObject::connect(
            w, &FWUpdateWorker::process_text, w, [this](QString t) { log << "text:" + t; },
            Qt::DirectConnection);
        QObject::connect(
            w, &FWUpdateWorker::error, w, [this](QString t) { log << "error:" + t; },
            Qt::DirectConnection);
        QObject::connect(
            w, &FWUpdateWorker::finished, w, [this] { log << "finished"; }, Qt::DirectConnection);
    }
};

} // namespace

class tst_FWUpdateWorker : public QObject
{
    Q_OBJECT

  private slots:
    void no_job_data();
    void no_job();
    void outcomes_data();
    void outcomes();
    void silent_check_phases();
    void stop_points_data();
    void stop_points();
    void queued_on_own_thread();

  private:
    // The window's records, as the update request hands them over.
    struct Job {
        UpdateContext ctx;
        std::unique_ptr<FirmwareJob> job{new FirmwareJob};
        UpdateProgress progress;
        std::vector<uint8_t> image;
        void load(const std::vector<uint8_t> &bytes)
        {
            image = bytes;
            memcpy(job->data, image.data(), image.size());
            job->size = (uint32_t)image.size();
            ctx.init();
            ctx.load_header(job->data);
            job->ctx = &ctx;
            progress.job = job.get();
            progress.maximum = (int32_t)job->size;
            progress.value = -7; // untouched unless the transfer writes it
        }
    };
    QuietOutput quiet;
};

void tst_FWUpdateWorker::no_job_data()
{
    QTest::addColumn<int>("what");
    QTest::newRow("no context") << 0;
    QTest::newRow("empty image") << 1;
    QTest::newRow("no progress record") << 2;
}

void tst_FWUpdateWorker::no_job()
{
    QFETCH(int, what);
    SharedClock clock;
    SimRig rig;
    Job j;
    j.load(make_image("QX-20", 230, 57));
    if (what == 0)
        j.job->ctx = nullptr;
    if (what == 1)
        j.job->size = 0;
    FWUpdateWorker w;
    w.progress_ptr = what == 2 ? nullptr : &j.progress;
    Recorder rec(&w);
    uint64_t calls = rig.dev.stats().calls;
    w.process();
    QCOMPARE(rec.log, QStringList({"error:ERROR", "finished"}));
    QCOMPARE(rig.dev.stats().calls, calls);
    QCOMPARE(clock.sleeps().size(), size_t(0));
}

// script: readings the device answers first (the three stability readings,
// then the check readings), as offsets from the image checksum where
// relative is set; computed readings (plus offset) follow.
void tst_FWUpdateWorker::outcomes_data()
{
    QTest::addColumn<QList<qint64>>("stability");
    QTest::addColumn<QList<qint64>>("checks"); // offsets from the image checksum
    QTest::addColumn<qint64>("offset");        // added to computed readings
    QTest::addColumn<int>("fail_transfer");    // from this transfer on
    QTest::addColumn<QStringList>("sequence");
    QTest::addColumn<int>("pauses"); // one-second pauses taken
    QTest::addColumn<int>("transfers");
    // The first check readings after the first transfer that the device
    // leaves unanswered.
    QTest::addColumn<int>("silent_checks");

    const QString prep = "text:Preparing...", send = "text:Sending and Updating...",
                  check = "text:Checking...", retry1 = "text:Retrying... 1/2",
                  retry2 = "text:Retrying... 2/2", done = QString("text:") + k_completed;
    QList<qint64> none;

    QTest::newRow("first reading matches")
        << none << none << qint64(0) << 0 << QStringList({prep, send, check, done, "finished"}) << 2
        << 1 << 0;
    QTest::newRow("stability spread 256 passes")
        << QList<qint64>({1000, 1100, 1256}) << none << qint64(0) << 0
        << QStringList({prep, send, check, done, "finished"}) << 2 << 1 << 0;
    QTest::newRow("stability spread 257 fails")
        << QList<qint64>({1000, 1100, 1257}) << none << qint64(0) << 0
        << QStringList({prep, "error:Hardware checksum is not valid.", "finished"}) << 0 << 0 << 0;
    QTest::newRow("stability highest first")
        << QList<qint64>({1257, 1100, 1000}) << none << qint64(0) << 0
        << QStringList({prep, "error:Hardware checksum is not valid.", "finished"}) << 0 << 0 << 0;
    QTest::newRow("stability reading of zero counts")
        << QList<qint64>({0, 500, 600}) << none << qint64(0) << 0
        << QStringList({prep, "error:Hardware checksum is not valid.", "finished"}) << 0 << 0 << 0;
    QTest::newRow("15 above matches")
        << QList<qint64>({5, 5, 5}) << QList<qint64>({15}) << qint64(0) << 0
        << QStringList({prep, send, check, done, "finished"}) << 2 << 1 << 0;
    QTest::newRow("15 below matches")
        << QList<qint64>({5, 5, 5}) << QList<qint64>({-15}) << qint64(0) << 0
        << QStringList({prep, send, check, done, "finished"}) << 2 << 1 << 0;
    QTest::newRow("16 away does not, tenth reading does")
        << QList<qint64>({5, 5, 5}) << QList<qint64>({16, -16, 16, -16, 100, 16, 16, 16, 16})
        << qint64(0) << 0 << QStringList({prep, send, check, done, "finished"}) << 11 << 1 << 0;
    QTest::newRow("three check phases fail")
        << none << none << qint64(16) << 0
        << QStringList({prep, send, check, retry1, check, retry2, check,
                        QString("error:") + k_not_equal, "finished"})
        << 33 << 3 << 0;
    QTest::newRow("match in the third attempt")
        << QList<qint64>({5, 5, 5}) << QList<qint64>({16, 16, 16, 16, 16, 16, 16, 16, 16, 16,
                                                      16, 16, 16, 16, 16, 16, 16, 16, 16, 16})
        << qint64(0) << 0
        << QStringList({prep, send, check, retry1, check, retry2, check, done, "finished"}) << 24
        << 3 << 0;
    QTest::newRow("first transfer fails")
        << none << none << qint64(0) << 1
        << QStringList({prep, send, "error:Firmware Update Failed", "finished"}) << 1 << 1 << 0;
    QTest::newRow("second transfer fails")
        << none << none << qint64(16) << 2
        << QStringList({prep, send, check, retry1, "error:Firmware Update Failed", "finished"})
        << 12 << 2 << 0;
    // An unanswered reading costs its try and the phase goes on: a later
    // match completes without another transfer, up to the tenth reading.
    QTest::newRow("unanswered checks, then a match")
        << none << none << qint64(0) << 0 << QStringList({prep, send, check, done, "finished"}) << 5
        << 1 << 3;
    QTest::newRow("nine unanswered checks, the tenth matches")
        << none << none << qint64(0) << 0 << QStringList({prep, send, check, done, "finished"})
        << 11 << 1 << 9;
    QTest::newRow("ten unanswered checks send again")
        << none << none << qint64(0) << 0
        << QStringList({prep, send, check, retry1, check, done, "finished"}) << 13 << 2 << 10;
}

void tst_FWUpdateWorker::outcomes()
{
    QFETCH(QList<qint64>, stability);
    QFETCH(QList<qint64>, checks);
    QFETCH(qint64, offset);
    QFETCH(int, fail_transfer);
    QFETCH(QStringList, sequence);
    QFETCH(int, pauses);
    QFETCH(int, transfers);
    QFETCH(int, silent_checks);

    SharedClock clock;
    SimRig rig;
    Job j;
    j.load(make_image("QX-20", 230, 57, 20000, 3));

    QxSimConfig config = rig.dev.config();
    uint32_t expected = j.ctx.fw_checksum();
    for (qint64 v : stability)
        config.checksum_script.push_back((uint32_t)v);
    if (!checks.isEmpty() && stability.isEmpty())
        QFAIL("check readings need stability readings before them");
    for (qint64 d : checks)
        config.checksum_script.push_back((uint32_t)((qint64)expected + d));
    config.checksum_offset = offset;
    config.fail_transfer = (uint32_t)fail_transfer;
    rig.dev.set_config(config);
    // The second one-second pause comes before the first check reading.
    int seconds = 0;
    clock.on_sleep = [&](uint32_t ms) {
        if (ms != 1000 || !silent_checks)
            return;
        ++seconds;
        if (seconds == 2 || seconds == 2 + silent_checks) {
            QxSimConfig c = rig.dev.config();
            c.checksum_silent = seconds == 2;
            rig.dev.set_config(c);
        }
    };

    FWUpdateWorker w;
    w.progress_ptr = &j.progress;
    Recorder rec(&w);
    w.process();

    QCOMPARE(rec.log, sequence);
    QCOMPARE(clock.count(1000), pauses);
    QCOMPARE((int)rig.dev.stats().begins, transfers);
    if (sequence.contains(QString("text:") + k_completed)) {
        // The bar ends full, and the device holds the image.
        QCOMPARE(j.progress.value.load(), (int32_t)j.image.size());
        QCOMPARE(rig.dev.stored_image(), j.image);
    } else if (transfers == 0) {
        QCOMPARE(j.progress.value.load(), -7);
    }
}

// A device that answers none of the check readings in any attempt ends
// with the comparison failure, not with the unanswered-reading text.
void tst_FWUpdateWorker::silent_check_phases()
{
    SharedClock clock;
    SimRig rig;
    Job j;
    j.load(make_image("QX-20", 230, 57, 20000, 3));
    bool silenced = false;
    clock.on_sleep = [&](uint32_t ms) {
        // The first one-second pause comes after the stability readings.
        if (ms == 1000 && !silenced) {
            silenced = true;
            QxSimConfig c = rig.dev.config();
            c.checksum_silent = true;
            rig.dev.set_config(c);
        }
    };
    FWUpdateWorker w;
    w.progress_ptr = &j.progress;
    Recorder rec(&w);
    w.process();
    QCOMPARE(rec.log,
             QStringList({"text:Preparing...", "text:Sending and Updating...", "text:Checking...",
                          "text:Retrying... 1/2", "text:Checking...", "text:Retrying... 2/2",
                          "text:Checking...", QString("error:") + k_not_equal, "finished"}));
    QCOMPARE((int)rig.dev.stats().begins, 3);
}

namespace
{

// Counts the device calls and asks for a stop once a number of them has
// been made; every call after that is a call the stop let through.
struct StopAfterCalls {
    static std::atomic<int> calls;
    static std::atomic<int> stop_at; // 0: not by calls
    static std::atomic<int> after_stop;
    static const UsbdevsBackend *inner;
    static int ioctl(void *, const uint16_t *path, const uint8_t *in, uint32_t in_size,
                     uint8_t *out, uint32_t out_size, uint32_t *returned, uint32_t *error)
    {
        if (qx_stop_requested())
            after_stop++;
        int r = inner->ioctl(inner->self, path, in, in_size, out, out_size, returned, error);
        if (++calls == stop_at)
            qx_request_stop();
        return r;
    }
    static const UsbdevsBackend *decorate(const UsbdevsBackend *b)
    {
        static UsbdevsBackend outer;
        inner = b;
        outer = *b;
        outer.ioctl = &StopAfterCalls::ioctl;
        outer.self = nullptr;
        return &outer;
    }
};
std::atomic<int> StopAfterCalls::calls{0};
std::atomic<int> StopAfterCalls::stop_at{0};
std::atomic<int> StopAfterCalls::after_stop{0};
const UsbdevsBackend *StopAfterCalls::inner = nullptr;

} // namespace

// A stop asked for from outside ends the update where it lands, without
// another call: before anything is sent, in the transfer at the byte it had
// reached, or in the check readings after a whole transfer.
void tst_FWUpdateWorker::stop_points_data()
{
    QTest::addColumn<int>("at_pause"); // the one-second pause that asks for it; 0: none
    QTest::addColumn<int>("at_call");  // the device call after which it is asked; 0: none
    QTest::addColumn<int>("where");
    QTest::addColumn<int>("transfers");
    QTest::addColumn<int>("off"); // added to the device's checksum: every check fails
    using Stop = updaterules::FailureCause::Stop;
    QTest::newRow("at the pause before the transfer")
        << 1 << 0 << int(Stop::BeforeSending) << 0 << 0;
    QTest::newRow("in the stability readings") << 0 << 2 << int(Stop::BeforeSending) << 0 << 0;
    QTest::newRow("in the transfer") << 0 << 200 << int(Stop::Transfer) << 1 << 0;
    QTest::newRow("in the check readings") << 2 << 0 << int(Stop::Check) << 1 << 0;
    // The device holds the first transfer's image, which failed its check:
    // written, not unchanged.
    QTest::newRow("at the pause before a retry")
        << 2 + QXUPDATE_CHECK_READINGS << 0 << int(Stop::Check) << 1 << 100;
}

void tst_FWUpdateWorker::stop_points()
{
    QFETCH(int, at_pause);
    QFETCH(int, at_call);
    QFETCH(int, where);
    QFETCH(int, transfers);
    QFETCH(int, off);
    SharedClock clock;
    QxSimConfig config;
    config.checksum_offset = off;
    SimRig rig(config);
    Job j;
    j.load(make_image("QX-20", 230, 57, 20000, 3));
    int pauses = 0;
    clock.on_sleep = [&](uint32_t ms) {
        if (ms == 1000 && ++pauses == at_pause)
            qx_request_stop();
    };
    StopAfterCalls::calls = 0;
    StopAfterCalls::after_stop = 0;
    StopAfterCalls::stop_at = at_call;
    usbdevs_set_decorator(&StopAfterCalls::decorate);
    updaterules::FailureCause cause;
    std::vector<std::string> errors;
    updaterules::UpdateReport report;
    report.error = [&](const std::string &t) { errors.push_back(t); };
    updaterules::UpdateResult result = updaterules::run_update(&j.ctx, j.job->data, j.job->size,
                                                               &j.progress.value, report, &cause);
    usbdevs_set_decorator(nullptr);
    const bool stopped = qx_stop_requested() != 0;
    qx_clear_stop();

    QVERIFY(stopped);
    QCOMPARE(int(result), int(updaterules::UpdateResult::Stopped));
    QCOMPARE(int(cause.stop), where);
    QCOMPARE(StopAfterCalls::after_stop.load(), 0);
    QCOMPARE(pauses, at_pause ? at_pause : where == int(updaterules::FailureCause::Stop::Transfer));
    QCOMPARE((int)rig.dev.stats().begins, transfers);
    QCOMPARE(cause.length, j.job->size);
    QCOMPARE(errors, std::vector<std::string>({"Update stopped."}));
    QCOMPARE(QString::fromStdString(cause.text),
             QString::fromStdString(updaterules::stop_text(cause)));
    if (where == int(updaterules::FailureCause::Stop::Transfer)) {
        // Where the transfer stood: what the device had taken.
        QVERIFY(cause.position > 0 && cause.position < j.job->size);
        QCOMPARE(cause.position, (uint32_t)j.progress.value.load());
        QVERIFY(cause.has_record);
        QCOMPARE(cause.record.how, int(QXFAIL_STOPPED));
        QVERIFY(cause.text.find("Stopped at byte " + updaterules::grouped_text(cause.position) +
                                " of " + updaterules::grouped_text(j.job->size) +
                                ": the device holds an incomplete image.") == 0);
    } else if (where == int(updaterules::FailureCause::Stop::Check)) {
        QCOMPARE(cause.position, j.job->size);
        QCOMPARE(rig.dev.stored_image(), j.image);
        QCOMPARE(int(cause.device_state), int(updaterules::DeviceState::WrittenNotVerified));
        QVERIFY(cause.text.find("the device holds the whole image") != std::string::npos);
    } else {
        QCOMPARE(j.progress.value.load(), -7);
    }
}

// As the window runs it: on a thread of its own, signals queued to this
// thread in emission order, worker and thread deleting themselves.
void tst_FWUpdateWorker::queued_on_own_thread()
{
    SharedClock clock;
    SimRig rig;
    Job j;
    j.load(make_image("QX-20", 230, 57, 20000, 3));

    QThread *thread = new QThread();
    FWUpdateWorker *worker = new FWUpdateWorker();
    worker->progress_ptr = &j.progress;
    QStringList seen;
    QList<bool> on_gui_thread;
    QThread *gui = QThread::currentThread();
    connect(worker, &FWUpdateWorker::process_text, this, [&](QString t) {
        seen << t;
        on_gui_thread << (QThread::currentThread() == gui);
    });
    connect(worker, &FWUpdateWorker::finished, this, [&] {
        seen << "finished";
        on_gui_thread << (QThread::currentThread() == gui);
    });
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &FWUpdateWorker::process);
    connect(worker, &FWUpdateWorker::finished, thread, &QThread::quit);
    connect(worker, &FWUpdateWorker::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    QPointer<FWUpdateWorker> w(worker);
    QPointer<QThread> t(thread);
    thread->start();

    QTRY_VERIFY_WITH_TIMEOUT(t.isNull(), k_update_wait_ms);
    QVERIFY(w.isNull());
    QCOMPARE(seen, QStringList({"Preparing...", "Sending and Updating...", "Checking...",
                                k_completed, "finished"}));
    QVERIFY(!on_gui_thread.contains(false));
}

QTEST_GUILESS_MAIN(tst_FWUpdateWorker)
#include "tst_fwupdateworker.moc"

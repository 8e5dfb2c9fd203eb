// The update context and the checks in front of an update, against the
// simulated device in this process.
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include "qttestkit.h"
#include "updatecontext.h"
#include "updaterules.h"

using updaterules::Identity;
using updaterules::RequestOptions;
using updaterules::RequestResult;

Q_DECLARE_METATYPE(RequestResult)

class tst_UpdateRules : public QObject
{
    Q_OBJECT

  private slots:
    void version_text_data();
    void version_text();
    void confirmation_lines();
    void failure_text_data();
    void failure_text();
    void check_request_data();
    void check_request();
    void checksum_error_before_device();
    void identity_read_failures_data();
    void identity_read_failures();
    void context_without_device();
    void several_devices();
    void context_strings_append();
    void context_device_text_data();
    void context_device_text();
    void context_header_and_file();

  private:
    QuietOutput quiet;
};

void tst_UpdateRules::version_text_data()
{
    QTest::addColumn<unsigned>("version");
    QTest::addColumn<QString>("text");
    QTest::newRow("230") << 230u << "2.30";
    QTest::newRow("102") << 102u << "1.02";
    QTest::newRow("5") << 5u << "0.05";
    QTest::newRow("0") << 0u << "0.00";
    QTest::newRow("1000") << 1000u << "10.00";
    QTest::newRow("1234") << 1234u << "12.34";
    QTest::newRow("65535") << 65535u << "655.35";
}

void tst_UpdateRules::version_text()
{
    QFETCH(unsigned, version);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(updaterules::version_text(version)), text);
    QCOMPARE(QString::fromStdString(updaterules::build_text(version)), QString::number(version));
}

void tst_UpdateRules::failure_text_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<unsigned>("item");
    QTest::addColumn<int>("how");
    QTest::addColumn<unsigned>("error");
    QTest::addColumn<unsigned>("position");
    QTest::addColumn<unsigned>("length");
    QTest::addColumn<unsigned>("attempt");
    QTest::addColumn<QString>("text");
    // The first transfer's number is left out: no other attempt follows a
    // failed transfer. The code's text is in the project's words on Linux.
    QTest::newRow("timeout in the first transfer")
        << (int)QXOP_TRANSFER << 0u << (int)QXFAIL_CALL << 0x79u << 87541u << 315424u << 1u
        << "the device stopped answering at byte 87,541 of 315,424: error 0x79, the device did "
           "not answer in time";
    QTest::newRow("failed write in the second transfer")
        << (int)QXOP_TRANSFER << 0u << (int)QXFAIL_CALL << 31u << 0u << 4036u << 2u
        << "the device failed a request at byte 0 of 4,036 (attempt 2 of 3): error 0x1f, the "
           "device reported a failure";
    QTest::newRow("gone") << (int)QXOP_INFO << (unsigned)QXTAG_PRODUCT << (int)QXFAIL_CALL << 1167u
                          << 0u << 0u << 0u
                          << "the device stopped answering when asked for its product name: "
                             "error 0x48f, the device is not connected";
    QTest::newRow("code without a text")
        << (int)QXOP_CHECKSUM << 0u << (int)QXFAIL_CALL << 0x1234u << 0u << 20036u << 0u
        << "the device stopped answering during the checksum query over 20,036 bytes: error "
           "0x1234";
    QTest::newRow("busy") << (int)QXOP_INFO << (unsigned)QXTAG_VERSION << (int)QXFAIL_NOT_READY
                          << 0u << 0u << 0u << 0u
                          << "the device never reported ready when asked for its version";
    QTest::newRow("no room") << (int)QXOP_TRANSFER << 0u << (int)QXFAIL_NO_PROGRESS << 0u << 1220u
                             << 315424u << 3u
                             << "the device stopped taking data at byte 1,220 of 315,424 "
                                "(attempt 3 of 3)";
}

void tst_UpdateRules::failure_text()
{
    QFETCH(int, op);
    QFETCH(unsigned, item);
    QFETCH(int, how);
    QFETCH(unsigned, error);
    QFETCH(unsigned, position);
    QFETCH(unsigned, length);
    QFETCH(unsigned, attempt);
    QFETCH(QString, text);
    QxFailure f = {};
    f.op = op;
    f.item = item;
    f.how = how;
    f.error = error;
    f.position = position;
    f.length = length;
    f.attempt = attempt;
    f.attempts = attempt ? 3 : 0;
    const QString actual = QString::fromStdString(updaterules::failure_text(f));
#ifdef Q_OS_WIN
    // Windows words the code's text itself (and Wine otherwise again).
    const int code_at = text.indexOf("error 0x");
    const int text_at = code_at < 0 ? -1 : text.indexOf(", ", code_at);
    if (text_at >= 0) {
        QVERIFY2(actual.startsWith(text.left(text_at + 2)), qPrintable(actual));
        QVERIFY2(actual.size() > text_at + 2, qPrintable(actual));
        return;
    }
#endif
    QCOMPARE(actual, text);
}

void tst_UpdateRules::confirmation_lines()
{
    Identity device{"QX-20", 102, 7};
    Identity image{"QX-20", 103, 9};
    QString text = QString::fromStdString(updaterules::confirmation_text(device, image));
    QStringList lines = text.split('\n');
    QCOMPARE(lines, QStringList({"Fimware Update", "",
                                 "From:", "  product:QX-20, version:1.02, build:7", "", "To:",
                                 "  product:QX-20, version:1.03, build:9", "", "Are you sure?"}));
    Identity zero{"QX-10", 5, 0};
    text = QString::fromStdString(updaterules::confirmation_text(zero, image));
    QCOMPARE(text.split('\n').at(3), QString("  product:QX-10, version:0.05, build:0"));
}

// Each row: the device, the image, the rules in force and the outcome.
void tst_UpdateRules::check_request_data()
{
    QTest::addColumn<QString>("dev_product");
    QTest::addColumn<int>("dev_version");
    QTest::addColumn<int>("dev_build");
    QTest::addColumn<bool>("present");
    QTest::addColumn<bool>("installed"); // the device already holds the image
    QTest::addColumn<bool>("silent_checksum");
    QTest::addColumn<QString>("img_product");
    QTest::addColumn<int>("img_version");
    QTest::addColumn<int>("img_build");
    QTest::addColumn<bool>("rules");
    QTest::addColumn<RequestResult>("result");
    QTest::addColumn<QString>("text");

    QTest::newRow("no device") << "QX-20" << 220 << 50 << false << false << false << "QX-20" << 230
                               << 57 << true << RequestResult::NotConnected
                               << "Supported hardware is not connected.";
    QTest::newRow("other product")
        << "QX-20" << 220 << 50 << true << false << false << "QX-10" << 230 << 57 << true
        << RequestResult::ProductMismatch << "Product is not matching";
    QTest::newRow("product case") << "qx-20" << 220 << 50 << true << false << false << "QX-20"
                                  << 230 << 57 << true << RequestResult::ProductMismatch
                                  << "Product is not matching";
    QTest::newRow("product extra byte")
        << "QX-20 " << 220 << 50 << true << false << false << "QX-20" << 230 << 57 << true
        << RequestResult::ProductMismatch << "Product is not matching";
    QTest::newRow("product checked without rules")
        << "QX-20" << 220 << 50 << true << false << false << "QX-10" << 230 << 57 << false
        << RequestResult::ProductMismatch << "Product is not matching";
    QTest::newRow("same version and build")
        << "QX-20" << 102 << 10 << true << false << false << "QX-20" << 102 << 10 << true
        << RequestResult::Downgrade << "Cannot downgrade from 1.02 to 1.02";
    QTest::newRow("lower version")
        << "QX-20" << 230 << 57 << true << false << false << "QX-20" << 5 << 57 << true
        << RequestResult::Downgrade << "Cannot downgrade from 2.30 to 0.05";
    QTest::newRow("same version and build installed")
        << "QX-20" << 102 << 10 << true << true << false << "QX-20" << 102 << 10 << true
        << RequestResult::Downgrade << "Cannot downgrade from 1.02 to 1.02";
    QTest::newRow("greater build passes")
        << "QX-20" << 102 << 10 << true << false << false << "QX-20" << 101 << 20 << true
        << RequestResult::Ok << "";
    QTest::newRow("greater version passes")
        << "QX-20" << 102 << 10 << true << false << false << "QX-20" << 103 << 1 << true
        << RequestResult::Ok << "";
    QTest::newRow("already installed")
        << "QX-20" << 220 << 50 << true << true << false << "QX-20" << 230 << 57 << true
        << RequestResult::AlreadyUpdated << "Already updated.";
    QTest::newRow("checksum not answered")
        << "QX-20" << 220 << 50 << true << false << true << "QX-20" << 230 << 57 << true
        << RequestResult::NoChecksum << "Cannot get hardware checksum";
    QTest::newRow("rules lifted: same") << "QX-20" << 102 << 10 << true << true << false << "QX-20"
                                        << 102 << 10 << false << RequestResult::Ok << "";
    QTest::newRow("rules lifted: silent checksum")
        << "QX-20" << 230 << 57 << true << false << true << "QX-20" << 101 << 1 << false
        << RequestResult::Ok << "";
}

void tst_UpdateRules::check_request()
{
    QFETCH(QString, dev_product);
    QFETCH(int, dev_version);
    QFETCH(int, dev_build);
    QFETCH(bool, present);
    QFETCH(bool, installed);
    QFETCH(bool, silent_checksum);
    QFETCH(QString, img_product);
    QFETCH(int, img_version);
    QFETCH(int, img_build);
    QFETCH(bool, rules);
    QFETCH(RequestResult, result);
    QFETCH(QString, text);

    std::vector<uint8_t> image =
        make_image(img_product.toLatin1().constData(), img_version, img_build);
    QxSimConfig config;
    config.product = dev_product.toStdString();
    config.version = (uint16_t)dev_version;
    config.build = (uint16_t)dev_build;
    config.checksum_silent = silent_checksum;
    if (installed)
        config.firmware = image;
    SharedClock clock;
    SimRig rig(config);
    if (!present)
        rig.dev.unplug();

    UpdateContext ctx;
    ctx.init();
    RequestOptions options;
    options.downgrade_rule = rules;
    options.installed_test = rules;
    updaterules::RequestCheck check =
        updaterules::check_request(ctx, image.data(), (uint32_t)image.size(), "x.bin", options);
    QCOMPARE(check.result, result);
    QCOMPARE(QString::fromStdString(check.text), text);
    QCOMPARE(QString::fromStdString(check.image.product), img_product);
    QCOMPARE(check.image.version, (unsigned)img_version);
    if (present) {
        QCOMPARE(QString::fromStdString(check.device.product), dev_product);
        QCOMPARE(check.device.version, (unsigned)dev_version);
        QCOMPARE(check.device.build, (unsigned)dev_build);
    }
    // The context now describes the image: the worker reads it from there.
    QCOMPARE(ctx.fw_version(), (unsigned)img_version);
    QCOMPARE(ctx.is_open(), present);
}

void tst_UpdateRules::checksum_error_before_device()
{
    SharedClock clock;
    SimRig rig;
    std::vector<uint8_t> image = make_image("QX-20", 230, 57);
    image[100] ^= 0x5a;
    UpdateContext ctx;
    ctx.init();
    uint64_t calls = rig.dev.stats().calls;
    updaterules::RequestCheck check = updaterules::check_request(
        ctx, image.data(), (uint32_t)image.size(), "/fw/update 20.bin", RequestOptions());
    QCOMPARE(check.result, RequestResult::ChecksumError);
    QCOMPARE(QString::fromStdString(check.text), QString("Checksum Error: /fw/update 20.bin"));
    QCOMPARE(rig.dev.stats().calls, calls);
}

// The identity is read product, version, build; a device that stops
// answering at each request gives that request's text.
void tst_UpdateRules::identity_read_failures_data()
{
    QTest::addColumn<int>("fail_from_send");
    QTest::addColumn<QString>("text");
    QTest::newRow("product") << 1 << "Cannot get connected hardware product";
    QTest::newRow("version") << 2 << "Cannot get connected hardware version";
    QTest::newRow("build") << 3 << "Cannot get connected hardware build";
    QTest::newRow("checksum") << 4 << "Cannot get hardware checksum";
}

void tst_UpdateRules::identity_read_failures()
{
    QFETCH(int, fail_from_send);
    QFETCH(QString, text);
    SharedClock clock;
    SimRig rig;
    std::vector<uint8_t> image = make_image("QX-20", 230, 57);
    UpdateContext ctx;
    ctx.init();
    int before = rig.sends();
    rig.fail_from_send = before + fail_from_send;
    updaterules::RequestCheck check = updaterules::check_request(
        ctx, image.data(), (uint32_t)image.size(), "x.bin", RequestOptions());
    QCOMPARE(QString::fromStdString(check.text), text);
}

namespace
{
// Devices by name only: find gives the one the probe takes, list all of them.
struct NamedDevices {
    std::vector<std::string> listed;
    std::string found;
    UsbdevsBackend backend{};
    NamedDevices()
    {
        backend.find = [](void *self, const char *, uint16_t *path, size_t cap, int *status) {
            auto *d = static_cast<NamedDevices *>(self);
            *status = usbdevs_path_from_utf8(path, cap, d->found.c_str());
            return d->found.empty() ? 0 : 1;
        };
        backend.list = [](void *self, const char *, QxDevice *devices, unsigned cap) {
            auto *d = static_cast<NamedDevices *>(self);
            unsigned n = 0;
            for (const std::string &name : d->listed)
                if (n < cap)
                    usbdevs_path_from_utf8(devices[n++].path, USBDEVS_PATH_UNITS, name.c_str());
            return n;
        };
        backend.self = this;
        usbdevs_set_backend(&backend);
    }
    ~NamedDevices() { usbdevs_set_backend(nullptr); }
};
} // namespace

void tst_UpdateRules::several_devices()
{
    NamedDevices d;
    d.listed = {"A"};
    d.found = "A";
    UpdateContext ctx;
    QVERIFY(ctx.open_device());
    QCOMPARE(updaterules::other_devices_text(ctx), std::string());
    // The probe's device is named, and the others beside it.
    d.listed = {"A", "B", "C"};
    d.found = "B";
    QVERIFY(ctx.open_device());
    QCOMPARE(updaterules::other_devices_text(ctx),
             std::string("3 devices are connected: this one is B; the others (A, C) are left "
                         "alone here (qxtool list shows them, qxtool update --device ID updates "
                         "one)"));
    // A chosen device is the one opened while it is listed, and no other.
    uint16_t path[USBDEVS_PATH_UNITS];
    usbdevs_path_from_utf8(path, USBDEVS_PATH_UNITS, "C");
    ctx.choose_device(path);
    QVERIFY(ctx.open_device());
    QCOMPARE(ctx.ctl.devices[0].path[0], (uint16_t)'C');
    QCOMPARE(ctx.ctl.devices[0].path[1], (uint16_t)0);
    d.listed = {"A", "B"};
    QVERIFY(!ctx.open_device());
    QVERIFY(!ctx.is_open());
    QCOMPARE(updaterules::absence_cause().text, std::string("the device C is no longer connected"));
    ctx.choose_device(nullptr);
    QVERIFY(ctx.open_device());
    QCOMPARE(ctx.ctl.devices[0].path[0], (uint16_t)'B');
}

void tst_UpdateRules::context_without_device()
{
    SharedClock clock;
    SimRig rig;
    rig.dev.unplug();
    UpdateContext ctx;
    QVERIFY(!ctx.init());
    QVERIFY(!ctx.is_open());
    uint64_t calls = rig.dev.stats().calls;

    std::string s = "keep";
    uint16_t u16 = 77;
    uint32_t u32 = 77;
    bool flag = true;
    uint8_t image[64] = {};
    QxProgress progress{5};
    QVERIFY(!ctx.device_text(s));
    QVERIFY(!ctx.device_product(s));
    QVERIFY(!ctx.device_version(&u16));
    QVERIFY(!ctx.device_build(&u16));
    QVERIFY(!ctx.run_command(1, 2, 3, qxctl_set_129));
    QVERIFY(!ctx.set_131(1, 2, 3));
    QVERIFY(!ctx.update_firmware(image, sizeof image, &progress));
    QVERIFY(!ctx.device_checksum(64, &u32));
    QVERIFY(!ctx.set_19(1));
    QVERIFY(!ctx.set_23(1));
    QVERIFY(!ctx.get_24(&u32));
    QVERIFY(!ctx.get_20(&flag));
    QCOMPARE(rig.dev.stats().calls, calls);
    QCOMPARE(s, std::string("keep"));
    QCOMPARE(u16, (uint16_t)77);
    QCOMPARE(progress.load(), 5);

    // Opening again finds the device once it is back.
    rig.dev.replug();
    QVERIFY(ctx.open_device());
    QVERIFY(ctx.close_device());
    QVERIFY(!ctx.is_open());
}

void tst_UpdateRules::context_strings_append()
{
    SharedClock clock;
    QxSimConfig config;
    config.product = std::string(70, 'P');
    SimRig rig(config);
    UpdateContext ctx;
    QVERIFY(ctx.init());
    std::string product = "ab";
    QVERIFY(ctx.device_product(product));
    // Never more than 64 bytes, whatever the device says.
    QVERIFY(product.size() <= 2 + 64);
    QCOMPARE(product.substr(0, 3), std::string("abP"));

    std::string fw = "x";
    QVERIFY(ctx.fw_product(fw)); // all-zero header
    QCOMPARE(fw, std::string("x"));
    std::vector<uint8_t> image = make_image("QX-10", 230, 57);
    QCOMPARE(ctx.load_header(image.data()), 32);
    QVERIFY(ctx.fw_product(fw));
    QCOMPARE(fw, std::string("xQX-10"));
    QCOMPARE(ctx.fw_check_size(), (int)image.size() - 36);
}

void tst_UpdateRules::context_device_text_data()
{
    QTest::addColumn<QString>("debug"); // what the device's answer carries
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("text");
    QTest::newRow("none") << "" << false << "keep";
    QTest::newRow("text") << "boot ok" << true << "keepboot ok";
    // One answer carries at most 61 bytes of it.
    QTest::newRow("long") << QString(70, 'd') << true << "keep" + QString(61, 'd');
}

// The device's debug text arrives in the answer to an info request.
void tst_UpdateRules::context_device_text()
{
    QFETCH(QString, debug);
    QFETCH(bool, result);
    QFETCH(QString, text);
    SharedClock clock;
    QxSimConfig config;
    config.debug_text = debug.toStdString();
    SimRig rig(config);
    UpdateContext ctx;
    QVERIFY(ctx.init());

    uint8_t buf[QXCTL_MSG_SIZE] = {};
    QxMsg msg;
    qxmsg_init(&msg, buf, sizeof buf);
    QCOMPARE(qxmsg_put(&msg, QXTAG_INFO, QXMSG_EMPTY, 0, 0), 0);
    QCOMPARE(qxmsg_put(&msg, 0, QXMSG_END, 0, 0), 0);
    QCOMPARE(qxctl_wait_ready(&ctx.channel), 0);
    QCOMPARE(qxctl_send(&ctx.channel, &msg), 0);

    std::string got = "keep";
    QCOMPARE(ctx.device_text(got), result);
    QCOMPARE(QString::fromStdString(got), text);
}

void tst_UpdateRules::context_header_and_file()
{
    UpdateContext ctx;
    ctx.init();
    std::vector<uint8_t> image = make_image("QX-20", 231, 58);
    ctx.load_header(image.data());
    PrgHeader before = ctx.header;
    QCOMPARE(ctx.load_header(nullptr), 32);
    QVERIFY(memcmp(&before, &ctx.header, sizeof before) == 0);

    QVERIFY(!ctx.verify_file());
    QTemporaryDir dir;
    QString short_path = dir.filePath("short.bin");
    QFile f(short_path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char *>(image.data()), 31);
    f.close();
    QVERIFY(!ctx.set_file_path(short_path.toStdString()));
    QVERIFY(ctx.file_path.empty());
    QCOMPARE(ctx.fw_version(), 231u);

    QString good = dir.filePath("good.bin");
    QFile g(good);
    QVERIFY(g.open(QIODevice::WriteOnly));
    g.write(reinterpret_cast<const char *>(image.data()), (qint64)image.size());
    g.close();
    std::vector<uint8_t> other = make_image("QX-10", 100, 1);
    ctx.load_header(other.data());
    QVERIFY(ctx.set_file_path(good.toStdString()));
    QCOMPARE(ctx.fw_version(), 231u);
    QVERIFY(ctx.verify_file());
    QVERIFY(UpdateContext::verify_image(image.data(), (int32_t)image.size()));
    image[40] ^= 1;
    QVERIFY(!UpdateContext::verify_image(image.data(), (int32_t)image.size()));
}

QTEST_GUILESS_MAIN(tst_UpdateRules)
#include "tst_updaterules.moc"

// The window through its real widgets, offscreen, against the simulated
// device in this process: form, catalogue, file choice, refusals,
// confirmation, a whole update with its progress, the licence dialog, and
// the form at the display scale and font the suite runs with, reached by
// keyboard and through the accessibility interfaces.
#include <QAccessible>
#include <QAction>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QResource>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QThread>
#include <QTranslator>
#include <QtTest>

#include <atomic>
#include <thread>
#ifdef Q_OS_WIN
#include <windows.h>
#endif
#include <functional>
#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif
#include <memory>

#include "mainwindow.h"
#include "qttestkit.h"
#include "qxlimits.h"
#include "qxpanel.h"
#include "qxpower.h"
#include "qxsys.h"
#include "updatehistory.h"
#include "updaterules.h"

namespace
{

const char k_completed[] = "Completed.\n\nPlease turn the device's power on again.";
const int k_image_size = 315424; // the embedded images

QByteArray resource(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void write_file(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), (qint64)bytes.size());
}

// Device faults the window is tried with, by number (0: none).
enum Fault {
    NO_FAULT,
    STAYS_BUSY,
    WRITES_REFUSED,
    ANSWER_DROPPED,
    ANSWER_SHORT,
    FAIL_TRANSFER,
    NO_ROOM,
    TRANSFER_ANSWER_DROPPED,
    TRANSFER_ANSWER_SHORT,
    NEVER_COMPLETE
};

void apply_fault(QxSimConfig &c, int fault)
{
    switch (fault) {
    case STAYS_BUSY:
        c.busy_answers = 1000;
        break;
    case WRITES_REFUSED:
        c.fail_writes = 10;
        break;
    case ANSWER_DROPPED:
        c.drop_read_every = 2;
        break;
    case ANSWER_SHORT:
        c.short_read_every = 2;
        break;
    case FAIL_TRANSFER:
        c.fail_transfer = 1;
        break;
    case NO_ROOM:
        c.room = 0;
        break;
    case TRANSFER_ANSWER_DROPPED:
        c.drop_read_every = 7;
        break;
    case TRANSFER_ANSWER_SHORT:
        c.short_read_every = 7;
        break;
    case NEVER_COMPLETE:
        c.never_complete = true;
        break;
    }
}

// Watches, application-wide, for the update worker (it is moved to its
// thread) and for the queued calls delivered to the window.
class WorkerSpy : public QObject
{
  public:
    explicit WorkerSpy(QObject *window) : window_(window) { qApp->installEventFilter(this); }
    ~WorkerSpy() override { qApp->removeEventFilter(this); }
    QPointer<QObject> worker;
    QPointer<QThread> thread;
    int queued_calls = 0;

  protected:
    bool eventFilter(QObject *obj, QEvent *e) override
    {
        if (e->type() == QEvent::ThreadChange && obj->inherits("FWUpdateWorker"))
            worker = obj;
        if (e->type() == QEvent::MetaCall && obj == window_)
            queued_calls++;
        return false;
    }

  private:
    QObject *window_;
};

struct Finally {
    std::function<void()> run;
    ~Finally() { run(); }
};

QByteArray bytes(const std::vector<uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), (int)v.size());
}

#ifdef Q_OS_WIN
// Wine's loader exports this; Windows has no such function.
bool under_wine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}
#else
bool under_wine()
{
    return false;
}
#endif

#ifdef Q_OS_WIN
// The window's own runner polls in the suite's virtual time, which a real
// taskkill.exe does not keep (test_qxpanel_win pins that runner): here the
// program the window names runs in real time.
int run_in_real_time(const QString &program, const QStringList &arguments)
{
    return QProcess::execute(program, arguments);
}
#endif

// The system's own taskkill.exe as Windows names its folder; none elsewhere.
QString system_taskkill()
{
#ifdef Q_OS_WIN
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    return QString::fromWCharArray(dir, (int)n) + "\\taskkill.exe";
#else
    return QString();
#endif
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void cleanup();
    void form();
    void embedded_resources();
    void translated_texts();
    void catalogue_data();
    void catalogue();
    void catalogue_skips_bad_image();
    void catalogue_selection_data();
    void catalogue_selection();
    void catalogue_entry_choice();
    void file_dialog_data();
    void file_dialog();
    void file_dialog_cancel();
    void bad_image_refused_before_device();
    void names_outside_the_code_page();
    void refusals_data();
    void refusals();
    void confirmation_declined_data();
    void confirmation_declined();
    void device_held_by_another_program();
    void several_devices_named();
    void full_update();
    void failure_text_in_label_data();
    void failure_text_in_label();
    void rewrite_after_failed_check();
    void quit_during_update();
    void session_end_during_update();
    void settings_panel_command();
    void settings_panel_survives();
    void system_without_device();
    void licence_dialog();
    void licence_missing();
    void support_report();
    void texts_fit_label();
    void keyboard_data();
    void keyboard();
    void screen_reader();

  private:
    QLabel *label(MainWindow &w) { return w.findChild<QLabel *>("label"); }
    QPushButton *button(MainWindow &w) { return w.findChild<QPushButton *>("button_fwupdate"); }
    QProgressBar *bar(MainWindow &w) { return w.findChild<QProgressBar *>("progressBar"); }
    QMenu *file_menu(MainWindow &w) { return w.findChild<QMenu *>("menuFile"); }
    QAction *checked(MainWindow &w);
    void open_file_dialog(MainWindow &w);
    // Presses the update button and confirms when the question comes.
    void start_update(MainWindow &w);
    // The update history's records so far, and a check of the newest one.
    QList<QJsonObject> history();
    void last_record_is(const char *outcome, const char *device_state);

    QuietOutput quiet;
    std::unique_ptr<QTemporaryDir> state;
    std::unique_ptr<SharedClock> clock;
    std::unique_ptr<SimRig> rig;
    std::unique_ptr<ModalWatcher> boxes;
};

void tst_MainWindow::init()
{
#ifdef Q_OS_WIN
    MainWindow::run_program = run_in_real_time;
#endif
    state.reset(new QTemporaryDir);
    qputenv(QXHISTORY_STATE_ENV, state->path().toUtf8());
    clock.reset(new SharedClock);
    rig.reset(new SimRig);
    boxes.reset(new ModalWatcher);
}

void tst_MainWindow::cleanup()
{
    // The window talks to the device only while it holds the device's lock.
    if (rig)
        QCOMPARE(rig->unlocked_calls(), 0);
    boxes.reset();
    rig.reset();
    clock.reset();
}

QAction *tst_MainWindow::checked(MainWindow &w)
{
    for (QAction *a : file_menu(w)->actions())
        if (a->isChecked())
            return a;
    return nullptr;
}

QList<QJsonObject> tst_MainWindow::history()
{
    std::vector<std::string> lines;
    std::string problem;
    QList<QJsonObject> records;
    if (updatehistory::read_records(updatehistory::history_path(), &lines, &problem) == 0)
        for (const std::string &l : lines)
            records.append(QJsonDocument::fromJson(QByteArray::fromStdString(l)).object());
    return records;
}

void tst_MainWindow::last_record_is(const char *outcome, const char *device_state)
{
    QList<QJsonObject> records = history();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0]["outcome"].toString(), QString(outcome));
    QCOMPARE(records[0]["device_state"].toString(), QString(device_state));
    QCOMPARE(records[0]["program"].toString(), QCoreApplication::applicationName());
}

void tst_MainWindow::open_file_dialog(MainWindow &w)
{
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_F, Qt::ControlModifier | Qt::AltModifier);
}

void tst_MainWindow::start_update(MainWindow &w)
{
    boxes->answer(QMessageBox::Ok);
    button(w)->click();
}

void tst_MainWindow::form()
{
    rig->dev.unplug();
    MainWindow w;
    QCOMPARE(w.objectName(), QString("MainWindow"));
    QCOMPARE(w.windowTitle(), QString("MainWindow"));
    QCOMPARE(w.size(), QSize(320, 240));
    QCOMPARE(w.minimumSize(), QSize(320, 240));
    QCOMPARE(w.maximumSize(), QSize(320, 240));

    QCOMPARE(label(w)->geometry(), QRect(10, 10, 301, 61));
    QCOMPARE(label(w)->alignment(), Qt::AlignCenter);
    QVERIFY(!label(w)->wordWrap());
    QCOMPARE(button(w)->geometry(), QRect(23, 140, 271, 32));
    QCOMPARE(button(w)->text(), QString("Firmware Update"));
    QCOMPARE(bar(w)->geometry(), QRect(60, 90, 221, 41));
    QCOMPARE(bar(w)->value(), 0);
    QCOMPARE(bar(w)->maximum(), 100);
    QCOMPARE(label(w)->parentWidget()->objectName(), QString("centralWidget"));

    QMenuBar *menu_bar = w.menuBar();
    QCOMPARE(menu_bar->objectName(), QString("menuBar"));
    QStringList titles;
    for (QAction *a : menu_bar->actions())
        titles << a->text();
    QCOMPARE(titles, QStringList({"File", "Help"}));
    QMenu *help = w.findChild<QMenu *>("menuHelp");
    // About, and beside it the support report (support_report).
    QCOMPARE(help->actions().size(), 2);
    QCOMPARE(help->actions().first()->text(), QString("About"));
    QCOMPARE(help->actions().first()->objectName(), QString("actionAbout"));
    QVERIFY(!w.findChild<QStatusBar *>());
    QVERIFY(boxes->seen.empty());
}

namespace
{

// Marks every text looked up in the window's context.
class MarkingTranslator : public QTranslator
{
  public:
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        if (QLatin1String(context) != QLatin1String("MainWindow"))
            return QString();
        return "T:" + QString::fromUtf8(source);
    }
    bool isEmpty() const override { return false; }
};

} // namespace

// Only the form's texts, the file dialog's and the missing-notice warning go
// through translation, in the window's context.
void tst_MainWindow::translated_texts()
{
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    Finally remove{[&] { QCoreApplication::removeTranslator(&translator); }};
    MainWindow w;
    QCOMPARE(w.windowTitle(), QString("T:MainWindow"));
    QCOMPARE(w.findChild<QAction *>("actionAbout")->text(), QString("T:About"));
    QCOMPARE(button(w)->text(), QString("T:Firmware Update"));
    QCOMPARE(w.findChild<QMenu *>("menuHelp")->title(), QString("T:Help"));
    QCOMPARE(file_menu(w)->title(), QString("T:File"));
    QCOMPARE(label(w)->text(), QString("QX-20 Firmware Updater\n\nTo 2.30, build 57"));
    QCOMPARE(file_menu(w)->actions().at(0)->text(), QString("QX-10, Version 2.30, build 57"));

    QString caption, filter;
    boxes->expect([&](QWidget *d) {
        caption = d->windowTitle();
        filter = qobject_cast<QFileDialog *>(d)->nameFilters().join(";");
        qobject_cast<QDialog *>(d)->reject();
    });
    open_file_dialog(w);
    QTRY_VERIFY(boxes->handlers.empty());
    QCOMPARE(caption, QString("T:Open File"));
    QCOMPARE(filter, QString("T:Firmware (*)"));

    // Plain: the refusals, the confirmation, the licence dialog's title.
    QxSimConfig config = rig->dev.config();
    config.product = "QX-10";
    rig->dev.set_config(config);
    button(w)->click();
    QTRY_COMPARE(boxes->seen.size(), size_t(2));
    QCOMPARE(boxes->seen[1].title, QString("Error"));
    QCOMPARE(boxes->seen[1].text, QString("Product is not matching"));
    config.product = "QX-20";
    rig->dev.set_config(config);
    boxes->answer(QMessageBox::Cancel);
    button(w)->click();
    QTRY_COMPARE(boxes->seen.size(), size_t(3));
    QCOMPARE(boxes->seen[2].title, QString("Firmware Update"));
    QVERIFY(boxes->seen[2].text.startsWith("Fimware Update\n"));
    QString title;
    boxes->expect([&](QWidget *d) {
        title = d->windowTitle();
        qobject_cast<QDialog *>(d)->reject();
    });
    w.findChild<QAction *>("actionAbout")->trigger();
    QCOMPARE(title, QString("License Information"));

    Q_CLEANUP_RESOURCE(resources);
    Finally restore{[] { Q_INIT_RESOURCE(resources); }};
    boxes->answer(QMessageBox::Ok);
    w.findChild<QAction *>("actionAbout")->trigger();
    QCOMPARE(boxes->seen.back().title, QString("T:File Missing!"));
    QCOMPARE(boxes->seen.back().text,
             QString("T:There is a possibility that the file has been moved or deleted."));
}

// The tree ":/res": three files, stored as they are, without timestamps.
void tst_MainWindow::embedded_resources()
{
    QCOMPARE(QDir(":/res").entryList(),
             QStringList({"LICENSE.txt", "update10.bin", "update20.bin"}));
    for (const QString &name : QDir(":/res").entryList()) {
        QResource r(":/res/" + name);
        QVERIFY(r.isValid());
        QCOMPARE(r.compressionAlgorithm(), QResource::NoCompression);
        QVERIFY2(!r.lastModified().isValid(), qPrintable(name));
    }
    QCOMPARE(resource(":/res/update10.bin").size(), k_image_size);
    QCOMPARE(resource(":/res/update20.bin").size(), k_image_size);
}

void tst_MainWindow::catalogue_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("product");
    QTest::addColumn<int>("checked");
    QTest::newRow("no device") << false << "" << 0;
    QTest::newRow("QX-20") << true << "QX-20" << 1;
    QTest::newRow("QX-10") << true << "QX-10" << 0;
    QTest::newRow("unknown product") << true << "QX-99" << 0;
}

void tst_MainWindow::catalogue()
{
    QFETCH(bool, present);
    QFETCH(QString, product);
    QFETCH(int, checked);
    QxSimConfig config;
    if (present)
        config.product = product.toStdString();
    rig.reset();
    rig.reset(new SimRig(config));
    if (!present)
        rig->dev.unplug();

    MainWindow w;
    QList<QAction *> entries = file_menu(w)->actions();
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[0]->text(), QString("QX-10, Version 2.30, build 57"));
    QCOMPARE(entries[1]->text(), QString("QX-20, Version 2.30, build 57"));
    QCOMPARE(entries[0]->data().toString(), QString(":/res/update10.bin"));
    QCOMPARE(entries[1]->data().toString(), QString(":/res/update20.bin"));
    QVERIFY(entries[0]->isCheckable() && entries[1]->isCheckable());
    QCOMPARE(this->checked(w), entries[checked]);
    QString model = checked == 0 ? "QX-10" : "QX-20";
    QCOMPARE(label(w)->text(), model + " Firmware Updater\n\nTo 2.30, build 57");
    QVERIFY(boxes->seen.empty());
}

void tst_MainWindow::catalogue_skips_bad_image()
{
    QTemporaryDir dir;
    QByteArray good10 = resource(":/res/update10.bin");
    QByteArray good20 = resource(":/res/update20.bin");
    QCOMPARE(good10.size(), k_image_size);
    QByteArray bad = good20;
    bad[1000] = char(bad[1000] ^ 0x21);
    write_file(dir.filePath("update10.bin"), good10);
    write_file(dir.filePath("update15.bin"), bad);
    write_file(dir.filePath("update20.bin"), good20);
    write_file(dir.filePath("update30.bin"), QByteArray(20, 'x'));
    write_file(dir.filePath("other.bin"), good10);

    MainWindow w(nullptr, dir.path());
    QStringList paths;
    for (QAction *a : file_menu(w)->actions())
        paths << a->data().toString();
    QCOMPARE(paths, QStringList({dir.filePath("update10.bin"), dir.filePath("update20.bin")}));
    // The connected QX-20 selects its image although a bad one was seen last.
    QCOMPARE(checked(w), file_menu(w)->actions().at(1));
    QVERIFY(boxes->seen.empty());

    QTemporaryDir empty;
    MainWindow none(nullptr, empty.path());
    QVERIFY(file_menu(none)->actions().isEmpty());
    QVERIFY(label(none)->text().isEmpty());
    QVERIFY(boxes->seen.empty());
}

void tst_MainWindow::catalogue_selection_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("entry");
    // Listed: update05.bin (bad), update10a.bin (QX-20 2.31), update10b.bin
    // (QX-10), update20.bin (QX-20 2.32), update30.bin (QX-10).
    QTest::newRow("no device: first that loaded") << false << ""
                                                  << "QX-20, Version 2.31, build 1";
    QTest::newRow("QX-20: last of its product") << true << "QX-20"
                                                << "QX-20, Version 2.32, build 2";
    QTest::newRow("QX-10: last of its product") << true << "QX-10"
                                                << "QX-10, Version 1.04, build 4";
    QTest::newRow("other product: first that loaded") << true << "QX-30"
                                                      << "QX-20, Version 2.31, build 1";
}

// The entry checked at start: the last listed one of the device's product,
// else the first that loaded.
void tst_MainWindow::catalogue_selection()
{
    QFETCH(bool, present);
    QFETCH(QString, product);
    QFETCH(QString, entry);
    QTemporaryDir dir;
    QByteArray bad = bytes(make_image("QX-20", 230, 0, 4096, 1));
    bad[100] = char(bad[100] ^ 1);
    write_file(dir.filePath("update05.bin"), bad);
    write_file(dir.filePath("update10a.bin"), bytes(make_image("QX-20", 231, 1, 4096, 2)));
    write_file(dir.filePath("update10b.bin"), bytes(make_image("QX-10", 103, 3, 4096, 3)));
    write_file(dir.filePath("update20.bin"), bytes(make_image("QX-20", 232, 2, 4096, 4)));
    write_file(dir.filePath("update30.bin"), bytes(make_image("QX-10", 104, 4, 4096, 5)));
    QxSimConfig config;
    config.product = product.toStdString();
    rig.reset();
    rig.reset(new SimRig(config));
    if (!present)
        rig->dev.unplug();

    MainWindow w(nullptr, dir.path());
    QCOMPARE(file_menu(w)->actions().size(), 4);
    QVERIFY(checked(w));
    QCOMPARE(checked(w)->text(), entry);
    // "QX-20, Version 2.31, build 1" is described as QX-20 ... To 2.31, build 1.
    QString model = entry.section(',', 0, 0), version = entry.section(' ', 2, 2).chopped(1);
    QCOMPARE(label(w)->text(),
             model + " Firmware Updater\n\nTo " + version + ", build " + entry.section(' ', 4, 4));
    QVERIFY(boxes->seen.empty());
}

void tst_MainWindow::catalogue_entry_choice()
{
    MainWindow w;
    QList<QAction *> entries = file_menu(w)->actions();
    QCOMPARE(checked(w), entries[1]);
    entries[0]->trigger();
    QCOMPARE(checked(w), entries[0]);
    QCOMPARE(label(w)->text(), QString("QX-10 Firmware Updater\n\nTo 2.30, build 57"));
    entries[1]->trigger();
    QCOMPARE(checked(w), entries[1]);
    QCOMPARE(label(w)->text(), QString("QX-20 Firmware Updater\n\nTo 2.30, build 57"));
    QVERIFY(boxes->seen.empty());
}

void tst_MainWindow::file_dialog_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("error"); // empty: loads
    QTest::addColumn<QString>("label");
    QByteArray big = bytes(make_image("QX-20", 301, 4, 1048576, 9));
    QTest::newRow("exactly 1 MiB") << big << ""
                                   << "QX-20 Firmware Updater\n\nTo 3.01, build 4";
    QTest::newRow("one byte over") << big + QByteArray(1, '\0') << "Firmware File Error: %1"
                                   << "";
    QTest::newRow("31 bytes") << big.left(31) << "Firmware File Error: %1"
                              << "";
    QByteArray corrupt = big;
    corrupt[5000] = char(corrupt[5000] ^ 1);
    QTest::newRow("bad checksum") << corrupt << "Firmware File Error: %1"
                                  << "";
    QTest::newRow("small image") << bytes(make_image("QX-10", 5, 0, 600, 2)) << ""
                                 << "QX-10 Firmware Updater\n\nTo 0.05, build 0";
}

void tst_MainWindow::file_dialog()
{
    if (under_wine())
        QSKIP("under Wine the file dialog does not return once a file is chosen");
    QFETCH(QByteArray, content);
    QFETCH(QString, error);
    QFETCH(QString, label);
    QTemporaryDir dir;
    QString path = dir.filePath("chosen.bin");
    write_file(path, content);

    MainWindow w;
    QString before = this->label(w)->text();
    QString caption, filter;
    boxes->expect([&](QWidget *d) {
        auto *fd = qobject_cast<QFileDialog *>(d);
        QVERIFY(fd);
        caption = fd->windowTitle();
        filter = fd->nameFilters().join(";");
        fd->selectFile(path);
        static_cast<QDialog *>(fd)->accept();
    });
    if (!error.isEmpty())
        boxes->answer(QMessageBox::Ok);
    open_file_dialog(w);
    QTRY_VERIFY(boxes->handlers.empty());
    QCOMPARE(caption, QString("Open File"));
    QCOMPARE(filter, QString("Firmware (*)"));
    // Choosing a file clears the catalogue's check mark, loaded or not.
    QCOMPARE(checked(w), nullptr);
    if (error.isEmpty()) {
        QCOMPARE(boxes->seen.size(), size_t(1));
        QCOMPARE(this->label(w)->text(), label);
    } else {
        QCOMPARE(boxes->seen.size(), size_t(2));
        QCOMPARE(boxes->seen[1].title, QString("Error"));
        QCOMPARE(boxes->seen[1].text, error.arg(path));
        QCOMPARE(boxes->seen[1].buttons, int(QMessageBox::Ok));
        QCOMPARE(this->label(w)->text(), before);
    }
}

void tst_MainWindow::file_dialog_cancel()
{
    MainWindow w;
    QAction *mark = checked(w);
    QString text = label(w)->text();
    boxes->expect([](QWidget *d) { qobject_cast<QDialog *>(d)->reject(); });
    open_file_dialog(w);
    QTRY_VERIFY(boxes->handlers.empty());
    QCOMPARE(checked(w), mark);
    QCOMPARE(label(w)->text(), text);

    // Cancelled or not, the dialog lifts the downgrade rule and the
    // already-installed test, also for catalogue entries chosen later.
    QxSimConfig config = rig->dev.config();
    config.version = 230;
    config.build = 57;
    rig->dev.set_config(config);
    file_menu(w)->actions().at(1)->trigger();
    boxes->answer(QMessageBox::Cancel);
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(2));
    QCOMPARE(boxes->seen[1].title, QString("Firmware Update"));
}

// The button reloads the image first: a file gone bad since it was chosen
// is refused before the device is asked anything.
void tst_MainWindow::bad_image_refused_before_device()
{
    if (under_wine())
        QSKIP("under Wine the file dialog does not return once a file is chosen");
    QTemporaryDir dir;
    QString path = dir.filePath("chosen.bin");
    QByteArray image = resource(":/res/update20.bin");
    write_file(path, image);
    MainWindow w;
    boxes->expect([&](QWidget *d) {
        auto *fd = qobject_cast<QFileDialog *>(d);
        QVERIFY(fd);
        fd->selectFile(path);
        static_cast<QDialog *>(fd)->accept();
    });
    open_file_dialog(w);
    QTRY_VERIFY(boxes->handlers.empty());
    QCOMPARE(boxes->seen.size(), size_t(1));

    image[2000] = char(image[2000] ^ 0x40);
    write_file(path, image);
    uint64_t calls = rig->dev.stats().calls;
    boxes->answer(QMessageBox::Ok);
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(2));
    QCOMPARE(boxes->seen[1].title, QString("Error"));
    QCOMPARE(boxes->seen[1].text, "Firmware File Error: " + path);
    QCOMPARE(rig->dev.stats().calls, calls);
    QVERIFY(button(w)->isEnabled());
#ifndef Q_OS_WIN
    // A FIFO in its place is refused at once, not waited on in the open.
    QFile::remove(path);
    QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    boxes->answer(QMessageBox::Ok);
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(3));
    QCOMPARE(boxes->seen[2].text, "Firmware File Error: " + path);
    QCOMPARE(rig->dev.stats().calls, calls);
#endif
}

// The request's refusals as the window shows them.
// An image under a folder named in three scripts reaches the loader by the
// name that Ctrl+Alt+F's dialog hands over (a QString, given here as the
// dialog gives it, which under Wine does not return): it is shown, the
// button reloads it from there, and a bad copy's refusal names it whole.
void tst_MainWindow::names_outside_the_code_page()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QString::fromUtf8("Łukasz-Ελλάδα-山田"));
    QVERIFY(QDir().mkpath(folder));
    const QString good = folder + QString::fromUtf8("/obraz-εικόνα-画像.bin");
    const QString bad = folder + QString::fromUtf8("/zły-κακό-悪い.bin");
    QByteArray image = resource(":/res/update20.bin");
    write_file(good, image);
    image[1000] = char(image[1000] ^ 0x21);
    write_file(bad, image);
    MainWindow w;
    QVERIFY(w.show_firmware(good));
    QCOMPARE(label(w)->text(), QString("QX-20 Firmware Updater\n\nTo 2.30, build 57"));
    boxes->answer(QMessageBox::Cancel);
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(1));
    QCOMPARE(boxes->seen[0].title, QString("Firmware Update"));
    QVERIFY(!w.show_firmware(bad));
    QCOMPARE(boxes->seen.size(), size_t(2));
    QCOMPARE(boxes->seen[1].text, "Firmware File Error: " + bad);
}

void tst_MainWindow::refusals_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("product");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("entry");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("waited"); // virtual ms, -1: not checked
    QTest::newRow("no device") << false << "QX-20" << 220 << 1 << false
                               << "Supported hardware is not connected." << 0 << -1;
    QTest::newRow("other product")
        << true << "QX-20" << 220 << 0 << false << "Product is not matching" << 0 << -1;
    QTest::newRow("same version") << true << "QX-20" << 230 << 1 << false
                                  << "Cannot downgrade from 2.30 to 2.30" << 0 << -1;
    QTest::newRow("already installed")
        << true << "QX-20" << 229 << 1 << true << "Already updated." << 0 << -1;
    // 1000 busy answers with pauses of 2, 3, ... 20, 20 ms; ten refused
    // write tries 5 ms apart; a failed answer read ends the request at once.
    QTest::newRow("device stays busy")
        << true << "QX-20" << 220 << 1 << false << "Cannot get connected hardware product"
        << int(STAYS_BUSY) << 19829;
    QTest::newRow("every write try refused")
        << true << "QX-20" << 220 << 1 << false << "Cannot get connected hardware product"
        << int(WRITES_REFUSED) << 50;
    QTest::newRow("answer read dropped")
        << true << "QX-20" << 220 << 1 << false << "Cannot get connected hardware product"
        << int(ANSWER_DROPPED) << 0;
    QTest::newRow("answer read short")
        << true << "QX-20" << 220 << 1 << false << "Cannot get connected hardware product"
        << int(ANSWER_SHORT) << 0;
}

void tst_MainWindow::refusals()
{
    QFETCH(bool, present);
    QFETCH(QString, product);
    QFETCH(int, version);
    QFETCH(int, entry);
    QFETCH(bool, installed);
    QFETCH(QString, text);
    QFETCH(int, fault);
    QFETCH(int, waited);
    QxSimConfig config;
    config.product = product.toStdString();
    config.version = (uint16_t)version;
    config.build = 57;
    if (installed) {
        QByteArray image = resource(":/res/update20.bin");
        config.firmware.assign(image.begin(), image.end());
    }
    rig.reset();
    rig.reset(new SimRig(config));

    uint16_t path[USBDEVS_PATH_UNITS] = {};
    QVERIFY(usbdevs_find(USBDEVS_SERVICE, path, USBDEVS_PATH_UNITS, nullptr));
    MainWindow w;
    QCOMPARE(qxlock_holder(path, nullptr), 1); // an idle window holds nothing
    file_menu(w)->actions().at(entry)->trigger();
    if (!present)
        rig->dev.unplug();
    if (fault) {
        apply_fault(config, fault);
        rig->dev.set_config(config);
    }
    uint64_t t0 = clock->now_ms();
    boxes->answer(QMessageBox::Ok);
    button(w)->click();
    if (waited >= 0)
        QCOMPARE(clock->now_ms() - t0, uint64_t(waited));
    QCOMPARE(boxes->seen.size(), size_t(1));
    QCOMPARE(boxes->seen[0].title, QString("Error"));
    QCOMPARE(boxes->seen[0].text, text);
    QCOMPARE(boxes->seen[0].buttons, int(QMessageBox::Ok));
    QVERIFY(button(w)->isEnabled());
    QCOMPARE(button(w)->text(), QString("Firmware Update"));
    QCOMPARE((int)rig->dev.stats().begins, 0);
    QCOMPARE(qxlock_holder(path, nullptr), 1); // given back with the refusal
    last_record_is("refused", "unchanged");
    // The box's text, and why under it.
    QVERIFY2(text.startsWith(history()[0]["error"].toString()), qPrintable(text));
}

// Started while another program updates the device: the window asks the
// device nothing, neither at its start nor when its button is pressed, and
// says why; once the device is free, a request goes on and gives the device
// back when declined.
void tst_MainWindow::device_held_by_another_program()
{
    uint16_t path[USBDEVS_PATH_UNITS] = {};
    QVERIFY(usbdevs_find(USBDEVS_SERVICE, path, USBDEVS_PATH_UNITS, nullptr));
    QxLock other;
    qxlock_init(&other);
    QCOMPARE(qxlock_take(&other, path, nullptr), 0);
    Finally release{[&] { qxlock_release(&other); }};

    MainWindow w;
    QCOMPARE((int)rig->dev.stats().calls, 0);
    boxes->answer(QMessageBox::Ok);
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(1));
    QCOMPARE(boxes->seen[0].title, QString("Error"));
    QCOMPARE(boxes->seen[0].text, QString("Another program is updating the device.\n\n"
                                          "the device is held by tst_mainwindow (process %1).")
                                      .arg(QCoreApplication::applicationPid()));
    QCOMPARE(boxes->seen[0].buttons, int(QMessageBox::Ok));
    QCOMPARE((int)rig->dev.stats().calls, 0);
    QVERIFY(button(w)->isEnabled());

    // Its product unread, the window chose the first entry; the user picks
    // the device's.
    qxlock_release(&other);
    file_menu(w)->actions().at(1)->trigger();
    boxes->answer(QMessageBox::Cancel);
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(2));
    QCOMPARE(boxes->seen[1].title, QString("Firmware Update"));
    QVERIFY(rig->dev.stats().calls > 0);
    QCOMPARE(qxlock_holder(path, nullptr), 1);
}

void tst_MainWindow::confirmation_declined_data()
{
    QTest::addColumn<int>("key"); // 0: the Cancel button
    QTest::newRow("Cancel") << 0;
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("Escape") << int(Qt::Key_Escape);
}

void tst_MainWindow::confirmation_declined()
{
    QFETCH(int, key);
    MainWindow w;
    QString text;
    bool default_cancel = false, escape_cancel = false;
    bool ok_and_cancel = false;
    boxes->expect([&](QWidget *d) {
        auto *box = qobject_cast<QMessageBox *>(d);
        QVERIFY(box);
        text = box->text();
        ok_and_cancel = box->buttons().size() == 2 && box->button(QMessageBox::Ok) &&
                        box->button(QMessageBox::Cancel);
        default_cancel = box->defaultButton() == box->button(QMessageBox::Cancel);
        escape_cancel = box->escapeButton() == box->button(QMessageBox::Cancel);
        if (key)
            QTest::keyClick(box, Qt::Key(key));
        else
            box->button(QMessageBox::Cancel)->click();
    });
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(1));
    QCOMPARE(boxes->seen[0].title, QString("Firmware Update"));
    QCOMPARE(
        text.split('\n'),
        QStringList({"Fimware Update", "", "From:", "  product:QX-20, version:2.20, build:50", "",
                     "To:", "  product:QX-20, version:2.30, build:57", "", "Are you sure?"}));
    QVERIFY(ok_and_cancel);
    QVERIFY(default_cancel);
    QVERIFY(escape_cancel);
    QTest::qWait(50);
    QVERIFY(button(w)->isEnabled());
    QCOMPARE((int)rig->dev.stats().begins, 0);
    uint16_t path[USBDEVS_PATH_UNITS] = {};
    QVERIFY(usbdevs_find(USBDEVS_SERVICE, path, USBDEVS_PATH_UNITS, nullptr));
    QCOMPARE(qxlock_holder(path, nullptr), 1); // given back with the Cancel
    last_record_is("refused", "unchanged");
    QCOMPARE(history()[0]["error"].toString(), QString("Cancelled."));
}

// Button, confirmation, worker, progress and the idle window after it, with
// the worker held at its pauses to look at the window while it runs.
// On Windows the window has no standard output: with several devices the
// confirmation names, below its own text, the one it updates and the others.
void tst_MainWindow::several_devices_named()
{
    rig->others = {"second-device"};
    MainWindow w;
    boxes->answer(QMessageBox::Cancel);
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(1));
    const QStringList parts = boxes->seen[0].text.split("\n\n");
    QCOMPARE(parts.size(), 5);
    QCOMPARE(parts[0], QString("Fimware Update"));
    QCOMPARE(parts[3], QString("Are you sure?"));
    QVERIFY2(parts[4].startsWith("2 devices are connected: this one is ") &&
                 parts[4].contains("the others (second-device) are left alone here") &&
                 parts[4].endsWith(")."),
             qPrintable(parts[4]));
    // One device: the confirmation as it is.
    rig->others.clear();
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(2));
    QVERIFY(boxes->seen[1].text.endsWith("\n\nAre you sure?"));
}

void tst_MainWindow::full_update()
{
    Gate before_transfer, after_transfer, hold;
    std::atomic<int> pauses{0};
    std::atomic<bool> second{false};
    clock->on_sleep = [&](uint32_t ms) {
        if (ms != 1000)
            return;
        int n = ++pauses;
        if (second)
            hold.wait();
        else if (n == 1)
            before_transfer.wait();
        else if (n == 2)
            after_transfer.wait();
    };
    MainWindow w;
    WorkerSpy spy(&w);
    // Should a check fail, the worker must not be left waiting on a window
    // that is going away.
    Finally release{[&] {
        before_transfer.open();
        after_transfer.open();
        hold.open();
        (void)QTest::qWaitFor([&] { return w.updating == 0; }, 20000);
    }};
    w.show();
    QCOMPARE(checked(w), file_menu(w)->actions().at(1));
    start_update(w);
    QVERIFY(before_transfer.wait_reached(k_update_wait_ms));
    // The worker's texts arrive as queued calls: none has been delivered
    // while this thread was waiting for the pause.
    QVERIFY(label(w)->text() != QString("Preparing..."));
    QVERIFY(spy.worker);
    spy.thread = spy.worker->thread();
    QVERIFY(spy.thread && spy.thread != qApp->thread());

    // Updating: button, File menu and shortcut out of use, closing refused.
    QVERIFY(!button(w)->isEnabled());
    QCOMPARE(button(w)->text(), QString("Updating..."));
    QVERIFY(!file_menu(w)->menuAction()->isEnabled());
    for (QAction *a : file_menu(w)->actions())
        QVERIFY(!a->isEnabled());
    QVERIFY(w.timer.isActive());
    QCOMPARE(w.timer.interval(), 100);
    QTRY_COMPARE(bar(w)->maximum(), k_image_size);
    QCOMPARE(bar(w)->value(), 0);
    QTRY_COMPARE(label(w)->text(), QString("Preparing..."));
    boxes->answer(QMessageBox::Ok);
    QVERIFY(!w.close());
    QCOMPARE(boxes->seen.size(), size_t(2));
    QCOMPARE(boxes->seen[1].kind, QString("QMessageBox"));
    QVERIFY(w.isVisible());
    size_t seen = boxes->seen.size();
    const QByteArray job_before(reinterpret_cast<const char *>(w.job.data), (int)w.job.size);
    const uint32_t sum_before = w.ctx.fw_checksum();
    QAction *entry_before = checked(w);
    button(w)->click(); // disabled: nothing happens
    QTest::keyClick(&w, Qt::Key_F, Qt::ControlModifier | Qt::AltModifier);
    // Even a choice or a file dialog that got through leaves the image being
    // sent and the context alone.
    for (QAction *a : file_menu(w)->actions())
        a->trigger();
    QVERIFY(QMetaObject::invokeMethod(&w, "select_fw_path"));
    QVERIFY(QMetaObject::invokeMethod(&w, "on_button_fwupdate_clicked"));
    QTest::qWait(50);
    QCOMPARE(boxes->seen.size(), seen);
    QCOMPARE(label(w)->text(), QString("Preparing..."));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(w.job.data), (int)w.job.size), job_before);
    QCOMPARE(w.ctx.fw_checksum(), sum_before);
    QCOMPARE(checked(w), entry_before);
    // The window holds the device from its request on: nobody else may talk
    // to it in between.
    QVERIFY(w.ctx.holds_device());
    QCOMPARE(qxlock_holder(w.ctx.ctl.devices[0].path, nullptr), 0);

    before_transfer.open();
    QVERIFY(after_transfer.wait_reached(k_update_wait_ms));
    QTRY_COMPARE(label(w)->text(), QString("Checking..."));
    QTRY_COMPARE(bar(w)->value(), k_image_size);
    after_transfer.open();

    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), k_update_wait_ms);
    QCOMPARE(button(w)->text(), QString("Firmware Update"));
    QCOMPARE(label(w)->text(), QString(k_completed));
    // Worker and thread go once finished() has been handled; every text
    // and the end came as queued calls, run by this thread's event loop.
    QTRY_VERIFY(spy.worker.isNull());
    QTRY_VERIFY(spy.thread.isNull());
    QVERIFY(spy.queued_calls >= 5); // Preparing, Sending, Checking, Completed, finished
    QCOMPARE(bar(w)->maximum(), k_image_size);
    QCOMPARE(bar(w)->value(), k_image_size);
    QVERIFY(!w.timer.isActive());
    QCOMPARE(w.updating, 0);
    QVERIFY(!w.ctx.holds_device());
    QCOMPARE(qxlock_holder(w.ctx.ctl.devices[0].path, nullptr), 1);
    QVERIFY(file_menu(w)->menuAction()->isEnabled());
    QByteArray image = resource(":/res/update20.bin");
    QCOMPARE(rig->dev.stored_image(), std::vector<uint8_t>(image.constBegin(), image.constEnd()));
    last_record_is("completed", "updated");
    const QJsonObject rec = history()[0];
    QCOMPARE(rec["image"].toObject()["name"].toString(), QString(":/res/update20.bin"));
    QCOMPARE(rec["image"].toObject()["builtin"].toBool(), true);
    QCOMPARE(rec["device"].toObject()["version"].toInt(), 220);
    QCOMPARE(rec["attempts"].toInt(), 1);
    QCOMPARE(boxes->seen.size(), seen);

    // A second update starts with the bar at 0 on its first tick. The
    // device now holds the image, so the file dialog lifts the rules.
    boxes->expect([](QWidget *d) { qobject_cast<QDialog *>(d)->reject(); });
    open_file_dialog(w);
    QTRY_VERIFY(boxes->handlers.empty());
    file_menu(w)->actions().at(1)->trigger();
    second = true;
    start_update(w);
    QVERIFY(hold.wait_reached(k_update_wait_ms));
    QTest::qWait(150);
    QCOMPARE(bar(w)->value(), 0);
    hold.open();
    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), k_update_wait_ms);
    QCOMPARE(label(w)->text(), QString(k_completed));
    QVERIFY(w.close());
}

void tst_MainWindow::failure_text_in_label_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("waited"); // virtual ms from the confirmation on
    QTest::addColumn<QString>("advice");
    const QString incomplete = "Press Firmware Update again to write the whole image; until "
                               "then the device may not work.";
    // The one-second pause, then the first chunk's ten tries 5 ms apart.
    QTest::newRow("data writes refused") << int(FAIL_TRANSFER) << 1000 + 10 * 5 << incomplete;
    // 2000 failed checks 5 ms apart after the one-second pause.
    QTest::newRow("no room") << int(NO_ROOM) << 1000 + 2000 * 5 << incomplete;
    // A failed answer read in the transfer ends it at once.
    QTest::newRow("transfer answer dropped") << int(TRANSFER_ANSWER_DROPPED) << -1 << incomplete;
    QTest::newRow("transfer answer short") << int(TRANSFER_ANSWER_SHORT) << -1 << incomplete;
    // 20 finish cycles of 10 reads 100 ms apart and 1 s.
    QTest::newRow("end never confirmed")
        << int(NEVER_COMPLETE) << 1000 + 20 * 2000
        << "Press Firmware Update again to write it once more and check it.";
}

void tst_MainWindow::failure_text_in_label()
{
    QFETCH(int, fault);
    QFETCH(int, waited);
    QFETCH(QString, advice);
    rig.reset();
    rig.reset(new SimRig);
    MainWindow w;
    QxSimConfig config = rig->dev.config();
    apply_fault(config, fault);
    rig->dev.set_config(config);
    uint64_t t0 = clock->now_ms();
    start_update(w);
    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), k_update_wait_ms);
    if (waited >= 0)
        QCOMPARE(clock->now_ms() - t0, uint64_t(waited));
    else
        QVERIFY(clock->now_ms() - t0 <= 1010);
    // The worker's text whole and first, the one step that helps under it.
    QCOMPARE(label(w)->text(), "Firmware Update Failed\n\n" + advice);
    QCOMPARE(boxes->seen.size(), size_t(1)); // the confirmation only
    QTRY_COMPARE(history().size(), 1);
    QCOMPARE(history()[0]["outcome"].toString(), QString("failed"));
    QCOMPARE(bar(w)->maximum(), k_image_size);
    QVERIFY(bar(w)->value() < k_image_size);

    // The step works as the label says: the device takes the image again.
    rig->dev.set_config(QxSimConfig());
    start_update(w);
    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), k_update_wait_ms);
    QCOMPARE(label(w)->text(), QString(k_completed));
}

// A check phase that never matched leaves the new image installed but
// unverified: the device reports the image's version, which the built-in
// catalogue alone would refuse as installed; the advised press writes it.
// The application quits (the session ends) while the worker runs: the
// window stops it at its next call and waits for it before its records go;
// the device is free and the stop's text is the last word.
void tst_MainWindow::quit_during_update()
{
    std::atomic<bool> paused{false};
    clock->on_sleep = [&](uint32_t ms) {
        if (ms != 1000 || paused.exchange(true))
            return;
        // Held at the pause before the transfer until the stop comes.
        while (!qx_stop_requested())
            std::this_thread::yield();
    };
    uint16_t path[USBDEVS_PATH_UNITS] = {};
    QVERIFY(usbdevs_find(USBDEVS_SERVICE, path, USBDEVS_PATH_UNITS, nullptr));
    {
        MainWindow w;
        start_update(w);
        QTRY_VERIFY(paused.load());
        QVERIFY(MainWindow::update_running());
        QCOMPARE(qxlock_holder(path, nullptr), 0);
        const uint64_t calls = rig->dev.stats().calls;
        w.stop_worker();
        QVERIFY(!MainWindow::update_running());
        QCOMPARE(qxlock_holder(path, nullptr), 1);
        QCOMPARE(rig->dev.stats().calls, calls);
        QCOMPARE(rig->dev.stats().begins, uint64_t(0));
        QCOMPARE(label(w)->text(),
                 QString("Update stopped.\n\nStopped before anything was sent: the device is "
                         "unchanged."));
        QCOMPARE(w.updating, 0);
    }
    qx_clear_stop();
}

namespace
{
std::vector<std::wstring> session_calls; // "+why" registered, "-" destroyed
} // namespace

// The session's end is refused while the device is written, with the
// reason registered for the window; the refusal and the reason go with
// the update. Windows only: elsewhere the end comes as a signal.
void tst_MainWindow::session_end_during_update()
{
#ifdef Q_OS_WIN
    session_calls.clear();
    QxPowerSystem system = {};
    system.block_reason = [](void *, const wchar_t *why) {
        session_calls.push_back(L"+" + std::wstring(why));
        return 1;
    };
    system.unblock_reason = [](void *) {
        session_calls.push_back(L"-");
        return 1;
    };
    qxpower_set_system(&system);
    Finally restore{[] { qxpower_set_system(nullptr); }};
    Gate before_transfer;
    clock->on_sleep = [&](uint32_t ms) {
        if (ms == 1000 && !before_transfer.reached())
            before_transfer.wait();
    };
    MainWindow w;
    w.show();
    // The window's own answer to the system's question (Wine's and the
    // toolkit's answer around it cannot be told apart from a refusal).
    MSG query = {};
    query.hwnd = reinterpret_cast<HWND>(w.winId());
    query.message = WM_QUERYENDSESSION;
    query.lParam = ENDSESSION_LOGOFF;
    long result = -1;
    QVERIFY(!w.nativeEvent("windows_generic_MSG", &query, &result)); // idle: not ours to answer
    start_update(w);
    QVERIFY(before_transfer.wait_reached(k_update_wait_ms));
    QVERIFY(w.nativeEvent("windows_generic_MSG", &query, &result));
    QCOMPARE(result, long(FALSE));
    QCOMPARE(session_calls, std::vector<std::wstring>(
                                {L"+Updating the firmware of the QX-20: an interruption could "
                                 L"leave it unusable"}));
    before_transfer.open();
    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), k_update_wait_ms);
    QCOMPARE(session_calls.back(), std::wstring(L"-"));
    QCOMPARE(session_calls.size(), size_t(2));
#else
    QSKIP("a session's end reaches a program as a signal here");
#endif
}

void tst_MainWindow::rewrite_after_failed_check()
{
    MainWindow w;
    QxSimConfig config = rig->dev.config();
    config.checksum_offset = 100;
    rig->dev.set_config(config);
    start_update(w);
    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), k_update_wait_ms);
    QCOMPARE(label(w)->text(),
             QString("Hardware checksum is not equal to firmware.\n\nPlease contact the technical "
                     "support.\n\nPress Firmware Update again to write it once more and check "
                     "it."));
    QCOMPARE(rig->dev.version(), uint16_t(230));
    config.checksum_offset = 0;
    rig->dev.set_config(config);
    start_update(w);
    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), k_update_wait_ms);
    QCOMPARE(label(w)->text(), QString(k_completed));
    // Once written and checked, the catalogue's rules hold again.
    boxes->answer(QMessageBox::Ok);
    button(w)->click();
    QCOMPARE(boxes->seen.back().text, QString("Cannot downgrade from 2.30 to 2.30"));
}

namespace
{

// The programs the window runs, each with what had happened by then.
struct ProgramLog {
    struct Call {
        QString program;
        QStringList arguments;
        uint64_t device_calls;
        size_t boxes;
    };
    std::vector<Call> calls;
    std::function<void(Call &)> snapshot;
};
ProgramLog *program_log = nullptr;

int record_program(const QString &program, const QStringList &arguments)
{
    ProgramLog::Call call{program, arguments, 0, 0};
    program_log->snapshot(call);
    program_log->calls.push_back(call);
    return 0;
}

} // namespace

// The settings panel is ended first on every idle press, before the image
// is reloaded or the device asked, and never while an update runs.
void tst_MainWindow::settings_panel_command()
{
    ProgramLog log;
    program_log = &log;
    MainWindow::RunProgram system_runner = MainWindow::run_program;
    MainWindow::run_program = record_program;
    Gate hold;
    std::atomic<bool> holding{false};
    clock->on_sleep = [&](uint32_t ms) {
        if (ms == 1000 && holding)
            hold.wait();
    };
    MainWindow w;
    Finally restore{[&] {
        hold.open();
        (void)QTest::qWaitFor([&] { return w.updating == 0; }, 20000);
        MainWindow::run_program = system_runner;
        program_log = nullptr;
    }};
    log.snapshot = [&](ProgramLog::Call &c) {
        c.device_calls = rig->dev.stats().calls;
        c.boxes = boxes->seen.size();
    };
    QVERIFY(log.calls.empty());

    // Declined twice, then confirmed: one call per press, each before the
    // press has touched the device or shown a box.
    std::vector<uint64_t> device_calls;
    for (int press = 0; press < 3; press++) {
        device_calls.push_back(rig->dev.stats().calls);
        holding = press == 2;
        boxes->answer(press == 2 ? QMessageBox::Ok : QMessageBox::Cancel);
        button(w)->click();
        QCOMPARE(log.calls.size(), size_t(press + 1));
        const ProgramLog::Call &c = log.calls.back();
        QCOMPARE(c.program, system_taskkill());
        QCOMPARE(c.arguments, QStringList({"/f", "/im", "Orbetta_SettingsPanel.exe"}));
        QCOMPARE(c.device_calls, device_calls.back());
        QCOMPARE(c.boxes, size_t(press));
        QVERIFY(rig->dev.stats().calls > device_calls.back());
    }
    QVERIFY(hold.wait_reached(k_update_wait_ms));
    QCOMPARE(w.updating, 1);
    // Even a press that got past the disabled button.
    QVERIFY(QMetaObject::invokeMethod(&w, "on_button_fwupdate_clicked"));
    QCOMPARE(log.calls.size(), size_t(3));
    holding = false;
    hold.open();
    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), k_update_wait_ms);
    QCOMPARE(label(w)->text(), QString(k_completed));
    QCOMPARE(log.calls.size(), size_t(3));
}

namespace
{

#ifdef Q_OS_WIN
// The stand-in panel, started for one case and ended by it at the latest.
// A guarded one cannot be ended by others (as one started as
// administrator) and ends itself when told.
struct StandInPanel {
    QProcess process;
    HANDLE end = nullptr;
    explicit StandInPanel(bool guarded = false)
    {
        QStringList args;
        HANDLE ready = nullptr;
        if (guarded) {
            QString name = QString("qx-panel-end-%1").arg(GetCurrentProcessId());
            end = CreateEventW(nullptr, TRUE, FALSE, (LPCWSTR)name.utf16());
            ready = CreateEventW(nullptr, TRUE, FALSE, (LPCWSTR)(name + "-ready").utf16());
            args << "--guard" << name;
        }
        process.start(QStringLiteral(QX_PANEL_STUB_PATH), args);
        process.waitForStarted(20000);
        if (ready) {
            WaitForSingleObject(ready, 20000);
            CloseHandle(ready);
        }
    }
    void release()
    {
        if (end)
            SetEvent(end);
    }
    ~StandInPanel()
    {
        release();
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(end ? 20000 : 0)) {
            process.kill();
            process.waitForFinished(20000);
        }
        if (end)
            CloseHandle(end);
    }
};

// The system's runner, then a wait for the stand-in panel's real end: the
// window's looks for it run in the suite's virtual time.
MainWindow::RunProgram g_system_runner = nullptr;
QProcess *g_panel = nullptr;
QString g_ran;
int run_then_await_panel(const QString &program, const QStringList &arguments)
{
    g_ran = program;
    int rc = g_system_runner(program, arguments);
    if (g_panel)
        g_panel->waitForFinished(20000);
    return rc;
}
#endif

QString text_of(const std::string &utf8)
{
    return QString::fromUtf8(utf8.data(), (int)utf8.size());
}

} // namespace

// A panel that outlives the kill (one started as administrator) keeps the
// device: the press stops at the "Error" box before it asks the device.
// Under Wine a guarded stand-in panel outlives the system's taskkill.exe
// and the system's list of processes finds it; elsewhere a probe says it
// runs.
void tst_MainWindow::settings_panel_survives()
{
    MainWindow::RunProgram system_runner = MainWindow::run_program;
#ifdef Q_OS_WIN
    StandInPanel panel(true);
    QVERIFY(panel.process.state() == QProcess::Running);
    g_system_runner = system_runner;
    MainWindow::run_program = run_then_await_panel;
#else
    ProgramLog log;
    program_log = &log;
    MainWindow::run_program = record_program;
    log.snapshot = [](ProgramLog::Call &) {};
    int running = 1;
    qxpanel_set_probe([](void *self) { return *static_cast<int *>(self); }, &running);
#endif
    Finally restore{[&] {
        MainWindow::run_program = system_runner;
#ifndef Q_OS_WIN
        program_log = nullptr;
        qxpanel_set_probe(nullptr, nullptr);
#endif
    }};
    MainWindow w;
    const QString start_label = label(w)->text();
    const uint64_t device_calls = rig->dev.stats().calls;
    const uint64_t t0 = clock->now_ms();
    button(w)->click();
#ifdef Q_OS_WIN
    QCOMPARE(g_ran, system_taskkill());
    QCOMPARE(panel.process.state(), QProcess::Running);
#else
    QCOMPARE(log.calls.size(), size_t(1));
#endif
    QCOMPARE(boxes->seen.size(), size_t(1));
    QCOMPARE(boxes->seen[0].title, QString("Error"));
    QCOMPARE(boxes->seen[0].text, text_of(updaterules::panel_refusal_text(1)));
    QVERIFY(boxes->seen[0].text.startsWith("The settings panel must be closed first"));
    QCOMPARE(rig->dev.stats().calls, device_calls);
    QCOMPARE(clock->now_ms() - t0, uint64_t((QXPANEL_GONE_CHECKS - 1) * QXPANEL_GONE_PAUSE_MS));
    QCOMPARE(label(w)->text(), start_label);
    QVERIFY(button(w)->isEnabled());
    QCOMPARE(w.updating, 0);

#ifndef Q_OS_WIN
    // A list of processes that cannot be read may hide the panel: refused too.
    running = -1;
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(2));
    QCOMPARE(boxes->seen[1].text, text_of(updaterules::panel_refusal_text(-1)));
    QCOMPARE(rig->dev.stats().calls, device_calls);
    boxes->seen.pop_back();
#endif

    // Once it has gone, the press goes on to the question.
#ifdef Q_OS_WIN
    panel.release();
    QVERIFY(panel.process.waitForFinished(20000));
#else
    running = 0;
#endif
    boxes->answer(QMessageBox::Cancel);
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(2));
    QCOMPARE(boxes->seen[1].title, QString("Firmware Update"));
    QVERIFY(rig->dev.stats().calls > device_calls);
}

// This system's own device access, with no device attached: discovery
// finds nothing (on Windows through SetupAPI) after the settings panel has
// been ended (on Windows by the system's taskkill.exe, while a taskkill.exe
// planted in the program's folder and in the current folder stays unrun).
void tst_MainWindow::system_without_device()
{
    rig.reset();
#ifdef Q_OS_WIN
    StandInPanel panel;
    QVERIFY(panel.process.state() == QProcess::Running);
    QTemporaryDir cwd;
    const QString saved_cwd = QDir::currentPath();
    const QStringList planted = {QCoreApplication::applicationDirPath() + "/taskkill.exe",
                                 cwd.path() + "/taskkill.exe"};
    for (const QString &path : planted) {
        QFile::remove(path);
        QFile::remove(path + ".ran");
        QVERIFY(QFile::copy(QStringLiteral(QX_PLANTED_TASKKILL_PATH), path));
    }
    QVERIFY(QDir::setCurrent(cwd.path()));
    g_system_runner = MainWindow::run_program;
    g_panel = &panel.process;
    MainWindow::run_program = run_then_await_panel;
    Finally unplant{[&] {
        MainWindow::run_program = g_system_runner;
        g_panel = nullptr;
        QDir::setCurrent(saved_cwd);
        for (const QString &path : planted) {
            QFile::remove(path);
            QFile::remove(path + ".ran");
        }
    }};
#else
    QTemporaryDir devices;
    QByteArray saved = qgetenv("QX_DEVICE_DIR");
    qputenv("QX_DEVICE_DIR", QFile::encodeName(devices.path()));
    Finally restore{[&] { qputenv("QX_DEVICE_DIR", saved); }};
#endif
    MainWindow w;
    boxes->answer(QMessageBox::Ok);
    button(w)->click();
    QCOMPARE(boxes->seen.size(), size_t(1));
    QCOMPARE(boxes->seen[0].title, QString("Error"));
#ifdef Q_OS_WIN
    QCOMPARE(boxes->seen[0].text, QString("Supported hardware is not connected."));
#else
    // Why, below the text: the window may have no standard output.
    QCOMPARE(boxes->seen[0].text, QString("Supported hardware is not connected.\n\nno device is "
                                          "served in %1 (there is no %1/qx-10_20).")
                                      .arg(devices.path()));
#endif
    QVERIFY(button(w)->isEnabled());
#ifdef Q_OS_WIN
    // Ended by the button, not by this test, and by the system's tool.
    QCOMPARE(panel.process.state(), QProcess::NotRunning);
    QCOMPARE(g_ran, system_taskkill());
    for (const QString &path : planted)
        QVERIFY2(!QFile::exists(path + ".ran"), qPrintable(path + " was run"));
#endif
}

void tst_MainWindow::licence_dialog()
{
    MainWindow w;
    QAction *about = w.findChild<QAction *>("actionAbout");
    for (int round = 0; round < 2; round++) {
        QSize size, min, max;
        QString title, text;
        boxes->expect([&](QWidget *d) {
            size = d->size();
            min = d->minimumSize();
            max = d->maximumSize();
            title = d->windowTitle();
            QTextBrowser *browser = d->findChild<QTextBrowser *>();
            QVERIFY(browser);
            text = browser->toPlainText();
            qobject_cast<QDialog *>(d)->accept();
        });
        about->trigger();
        QVERIFY(boxes->handlers.empty());
        QCOMPARE(size, QSize(650, 400));
        QCOMPARE(min, QSize(650, 400));
        QCOMPARE(max, QSize(650, 400));
        QCOMPARE(title, QString("License Information"));
        QVERIFY(text.contains("GNU Lesser General Public License version 2.1"));
        QVERIFY(text.contains("GNU LESSER GENERAL PUBLIC LICENSE"));
        QVERIFY(!text.contains(QChar(0x0C)));
        QVERIFY(!text.contains(QChar('\r')));
    }
    // The stored notice keeps its form feeds and CRLF line ends.
    QByteArray raw = resource(":/res/LICENSE.txt");
    QVERIFY(raw.contains('\f'));
    QCOMPARE(raw.count("\r\n"), raw.count('\n'));
    QCOMPARE(boxes->seen.size(), size_t(2));
}

namespace
{

struct Logged {
    QString text;
    QString file;
    QString function;
};
std::vector<Logged> *debug_log = nullptr;

void record_debug(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg && debug_log)
        debug_log->push_back({text, QString(context.file), QString(context.function)});
}

} // namespace

// Without the notice: one warning, with the places looked at logged only
// after it has been closed.
// Help > Save Support Report... beside About writes the report qxtool
// writes, where the save dialog says.
QString g_report_path;
QString report_path(QWidget *, const QString &)
{
    return g_report_path;
}

void tst_MainWindow::support_report()
{
    QTemporaryDir dir;
    g_report_path = dir.filePath("report.txt");
    MainWindow::AskPath before = MainWindow::ask_report_path;
    MainWindow::ask_report_path = report_path;
    Finally restore{[&] { MainWindow::ask_report_path = before; }};
    MainWindow w;
    QMenu *help = w.findChild<QMenu *>("menuHelp");
    QVERIFY(help);
    QList<QAction *> actions = help->actions();
    QCOMPARE(actions.size(), 2);
    QCOMPARE(actions[0]->objectName(), QString("actionAbout"));
    QCOMPARE(actions[1]->text(), QString("Save Support Report..."));
    // A refused update first, so that the history has a record.
    boxes->answer(QMessageBox::Cancel);
    button(w)->click();
    boxes->answer(QMessageBox::Ok);
    actions[1]->trigger();
    QCOMPARE(boxes->seen.back().title, QString("Save Support Report"));
    QFile file(g_report_path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString report = QString::fromUtf8(file.readAll());
    QVERIFY2(report.contains("by " + QCoreApplication::applicationName() + " "),
             qPrintable(report));
    QVERIFY2(report.contains("Connected devices (1):\n  "), qPrintable(report));
    QVERIFY2(report.contains("QX-20  version 2.20  build 50"), qPrintable(report));
    QVERIFY2(report.contains("Newest update records (1, "), qPrintable(report));
    QVERIFY2(report.contains("refused  device unchanged  Cancelled."), qPrintable(report));
    QVERIFY2(report.contains("-----BEGIN TRACE-----\n{\"op\":\"start\""), qPrintable(report));
}

void tst_MainWindow::licence_missing()
{
    MainWindow w;
    std::vector<Logged> log;
    debug_log = &log;
    QtMessageHandler previous = qInstallMessageHandler(record_debug);
    // The whole resource tree goes; the window has read its images already.
    Q_CLEANUP_RESOURCE(resources);
    Finally restore{[&] {
        Q_INIT_RESOURCE(resources);
        qInstallMessageHandler(previous);
        debug_log = nullptr;
    }};
    QVERIFY(!QFile::exists(":/res/LICENSE.txt"));

    size_t logged_at_box = 0;
    boxes->expect([&](QWidget *d) {
        logged_at_box = log.size();
        press(d, QMessageBox::Ok);
    });
    w.findChild<QAction *>("actionAbout")->trigger();
    QVERIFY(boxes->handlers.empty());
    QCOMPARE(boxes->seen.size(), size_t(1));
    QCOMPARE(boxes->seen[0].kind, QString("QMessageBox"));
    QCOMPARE(boxes->seen[0].title, QString("File Missing!"));
    QCOMPARE(boxes->seen[0].text,
             QString("There is a possibility that the file has been moved or deleted."));
    QCOMPARE(boxes->seen[0].buttons, int(QMessageBox::Ok));

    QCOMPARE(logged_at_box, size_t(1));
    QCOMPARE(log.size(), size_t(4));
    QCOMPARE(log[0].text, QString("Open Error"));
    const QString dirs[] = {QDir::currentPath(), QDir::homePath(), QDir::rootPath()};
    for (int i = 0; i < 3; i++) {
        QVERIFY2(log[1 + i].text.startsWith("QDir( \"" + dirs[i] + "\""),
                 qPrintable(log[1 + i].text));
    }
    for (const Logged &l : log) {
        QVERIFY2(l.file.contains("mainwindow"), qPrintable(l.file));
        QCOMPARE(l.function, QString("void MainWindow::on_actionAbout_triggered()"));
    }
}

namespace
{

QString where(const QRect &r)
{
    return QString("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

} // namespace

// Every text the label shows in an update fits it whole with the font in
// use. ctest runs this at several display scales (QX_TEST_SCALE, the device
// pixel ratio that QT_FONT_DPI gives) and with a large font and no scale
// (QX_TEST_LARGE_FONT): a scaled window keeps the form's size in logical
// pixels, a large font alone makes it grow.
void tst_MainWindow::texts_fit_label()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QStringList texts{label(w)->text()};
    QVERIFY(texts[0].endsWith("To 2.30, build 57"));
    using updaterules::Stage;
    for (Stage stage : {Stage::Preparing, Stage::Sending, Stage::Checking, Stage::Completed})
        texts << QString::fromStdString(updaterules::stage_text(stage));
    for (int retry = 1; retry <= QXUPDATE_RETRIES; ++retry)
        texts << QString::fromStdString(updaterules::stage_text(Stage::Retrying, retry));
    QVERIFY(texts.contains(k_completed));
    const int failures_from = texts.size();
    using updaterules::UpdateResult;
    for (UpdateResult result :
         {UpdateResult::NoImage, UpdateResult::NoChecksum, UpdateResult::Unstable,
          UpdateResult::TransferFailed, UpdateResult::NotEqual})
        texts << QString::fromStdString(updaterules::error_text(result));
    QVERIFY(texts.contains("Hardware checksum is not equal to firmware.\n\n"
                           "Please contact the technical support."));

    const QSize size = w.size();
    for (int i = 0; i < texts.size(); ++i) {
        if (i < failures_from)
            w.on_processtext(texts[i]);
        else
            w.on_error(texts[i]);
        QLabel *l = label(w);
        const QRect room = l->contentsRect();
        const int flags = int(l->alignment()) | (l->wordWrap() ? int(Qt::TextWordWrap) : 0);
        const QRect used = l->fontMetrics().boundingRect(room, flags, texts[i]);
        QVERIFY2(room.contains(used), qPrintable(QString("\"%1\" needs %2, the label has %3")
                                                     .arg(texts[i], where(used), where(room))));
        // Sized for every text up front: no jump in the middle of an update.
        QCOMPARE(w.size(), size);
    }
    for (const QString &text : {QString("Firmware Update"), QString("Updating...")}) {
        const int needs = button(w)->fontMetrics().horizontalAdvance(text);
        QVERIFY2(needs < button(w)->width() - 8, qPrintable(text));
    }
    // The widgets stay inside the window, one below the other.
    const QRect inside = w.centralWidget()->rect();
    QVERIFY(
        w.geometry().contains(w.centralWidget()->geometry().translated(w.geometry().topLeft())));
    for (QWidget *widget : {(QWidget *)label(w), (QWidget *)bar(w), (QWidget *)button(w)})
        QVERIFY2(inside.contains(widget->geometry()), qPrintable(widget->objectName()));
    QVERIFY(label(w)->geometry().bottom() < bar(w)->geometry().top());
    QVERIFY(bar(w)->geometry().bottom() < button(w)->geometry().top());
    QCOMPARE(w.minimumSize(), w.maximumSize());

    const QString scale = qEnvironmentVariable("QX_TEST_SCALE");
    if (!scale.isEmpty())
        QCOMPARE(w.devicePixelRatioF(), scale.toDouble());
    if (qEnvironmentVariableIsSet("QX_TEST_LARGE_FONT"))
        QVERIFY2(w.width() > 320 && w.height() > 240, qPrintable(where(w.geometry())));
    else
        QCOMPARE(w.size(), QSize(320, 240));

    // Whatever else the label is given is measured as well, in width and in
    // height, and the form grows to fit it, rounded up to whole pixels.
    const QRect form = label(w)->property("qx_form_geometry").toRect();
    double need = 0;
    for (const QString &text : {QString(70, 'W'), QString(60, 'W') + QString("\nW").repeated(30)}) {
        QLabel *l = label(w);
        const QRect at_form = l->fontMetrics().boundingRect(QRect(QPoint(0, 0), form.size()),
                                                            int(l->alignment()), text);
        need = std::max({need, (double)at_form.width() / form.width(),
                         (double)at_form.height() / form.height()});
        w.on_error(text);
        const QRect room = l->contentsRect();
        const int flags = int(l->alignment()) | (l->wordWrap() ? int(Qt::TextWordWrap) : 0);
        const QRect used = l->fontMetrics().boundingRect(room, flags, text);
        QVERIFY2(room.contains(used), qPrintable(QString("%1 lines need %2, the label has %3")
                                                     .arg(text.count('\n') + 1)
                                                     .arg(where(used), where(room))));
        QCOMPARE(w.size(),
                 QSize((int)std::ceil(320 * need - 1e-9), (int)std::ceil(240 * need - 1e-9)));
    }

    // The button's texts are measured in the button's own font, in both
    // directions, with room for its frame: a tall font, and a wide one.
    for (int spacing : {100, 400}) {
        MainWindow large;
        QFont font = button(large)->font();
        font.setPointSizeF(font.pointSizeF() * 3);
        font.setLetterSpacing(QFont::PercentageSpacing, spacing);
        button(large)->setFont(font);
        large.on_processtext(label(large)->text());
        for (const QString &text : {QString("Firmware Update"), QString("Updating...")}) {
            const QFontMetrics fm(font);
            QVERIFY2(fm.horizontalAdvance(text) < button(large)->width() - 8, qPrintable(text));
            QVERIFY(fm.height() < button(large)->height());
        }
    }
}

void tst_MainWindow::keyboard_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("space") << int(Qt::Key_Space);
    QTest::newRow("return") << int(Qt::Key_Return);
    QTest::newRow("enter") << int(Qt::Key_Enter);
}

// Without a mouse: Tab reaches the button and the key presses it; the File
// and Help menus open from the keyboard, and Help's entry can be chosen.
void tst_MainWindow::keyboard()
{
    QFETCH(int, key);
    MainWindow w;
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), (QWidget *)button(w));
    QTest::keyClick(&w, Qt::Key_Tab); // the only stop: Tab stays on it
    QCOMPARE(QApplication::focusWidget(), (QWidget *)button(w));

    boxes->answer(QMessageBox::Cancel);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QTRY_COMPARE(boxes->seen.size(), size_t(1));
    QVERIFY2(boxes->seen[0].text.startsWith("Fimware Update\n\nFrom:"),
             qPrintable(boxes->seen[0].text));
    QCOMPARE(w.updating, 0);

    QMenu *help = w.findChild<QMenu *>("menuHelp");
    QApplication::setActiveWindow(&w); // back from the box
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_F, Qt::AltModifier);
    QTRY_VERIFY(file_menu(w)->isVisible());
    QVERIFY(!help->isVisible());
    QTest::keyClick(file_menu(w), Qt::Key_Escape);
    QTRY_VERIFY(!file_menu(w)->isVisible());
    QTest::keyClick(&w, Qt::Key_F10);
    QTRY_VERIFY(file_menu(w)->isVisible());
    QTest::keyClick(file_menu(w), Qt::Key_Escape);
    QTRY_VERIFY(!file_menu(w)->isVisible());
    QTest::keyClick(&w, Qt::Key_H, Qt::AltModifier);
    QTRY_VERIFY(help->isVisible());
    QString title;
    boxes->expect([&](QWidget *d) {
        title = d->windowTitle();
        qobject_cast<QDialog *>(d)->reject();
    });
    QTest::keyClick(help, Qt::Key_Down);
    QTest::keyClick(help, Qt::Key(key == Qt::Key_Space ? Qt::Key_Return : key));
    QTRY_COMPARE(title, QString("License Information"));
    QCOMPARE(boxes->seen.size(), size_t(2));
}

// What a screen reader learns through the accessibility interfaces: the
// button by role and name, the bar by name with its value, the label by its
// text. Offscreen there is no bridge to send change events through:
// scripts/test-accessibility listens for those through AT-SPI.
void tst_MainWindow::screen_reader()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QAccessibleInterface *b = QAccessible::queryAccessibleInterface(button(w));
    QVERIFY(b);
    QCOMPARE(b->role(), QAccessible::Button);
    QCOMPARE(b->text(QAccessible::Name), QString("Firmware Update"));
    QVERIFY(!b->text(QAccessible::Description).isEmpty());
    QVERIFY(b->actionInterface() && b->actionInterface()->actionNames().contains(
                                        QAccessibleActionInterface::pressAction()));

    QAccessibleInterface *p = QAccessible::queryAccessibleInterface(bar(w));
    QVERIFY(p && p->valueInterface());
    QCOMPARE(p->role(), QAccessible::ProgressBar);
    QCOMPARE(p->text(QAccessible::Name), QString("Update progress"));
    bar(w)->setMaximum(k_image_size);
    bar(w)->setValue(4096);
    QCOMPARE(p->valueInterface()->currentValue().toInt(), 4096);
    QCOMPARE(p->valueInterface()->maximumValue().toInt(), k_image_size);

    QAccessibleInterface *l = QAccessible::queryAccessibleInterface(label(w));
    QVERIFY(l);
    QCOMPARE(l->role(), QAccessible::StaticText);
    QCOMPARE(l->text(QAccessible::Name), label(w)->text());
    QVERIFY(!l->text(QAccessible::Description).isEmpty());
    w.on_processtext("Checking...");
    QCOMPARE(l->text(QAccessible::Name), QString("Checking..."));
    w.on_error("Firmware Update Failed");
    QCOMPARE(l->text(QAccessible::Name), QString("Firmware Update Failed"));
}

int main(int argc, char *argv[])
{
    MainWindow::use_display_scale();
    QApplication app(argc, argv);
    // The test platforms' default fonts (offscreen's 12 points, Wine's
    // fallback face without Wine's own fonts) are larger than a desktop's
    // normal one, for which the form is laid out.
    QApplication::setFont(QFont("DejaVu Sans", 9));
    tst_MainWindow tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_mainwindow.moc"

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <cstdio>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QKeySequence>
#include <QMenuBar>
#include <QMessageBox>
#include <QShortcut>
#include <QTextBrowser>
#include <QTextStream>
#include <QThread>
#include <QVBoxLayout>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "fwupdateworker.h"
#include "qxfile.h"
#include "qxlimits.h"
#include "qxpanel.h"
#include "qxpower.h"
#include "qxsys.h"
#include "updatereport.h"
#include "updaterules.h"

namespace
{

QString qstr(const std::string &utf8)
{
    return QString::fromUtf8(utf8.data(), (int)utf8.size());
}

// Why the window acts as it does where its own texts cannot say it: a
// device directory that is refused, a device another program holds.
void tell(const std::string &text)
{
    if (text.empty())
        return;
    fprintf(stderr, "%s: %s\n", QCoreApplication::applicationName().toLocal8Bit().constData(),
            text.c_str());
    fflush(stderr);
}

// Whether an update runs, for a signal handler: lock-free.
std::atomic<int> g_update_running{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads it");

// Within the bound of the core's runner; -1 off Windows, where there is no
// settings panel to end.
int run_system_program(const QString &program, const QStringList &arguments)
{
    std::vector<QByteArray> utf8;
    for (const QString &argument : arguments)
        utf8.push_back(argument.toUtf8());
    std::vector<const char *> args;
    for (const QByteArray &argument : utf8)
        args.push_back(argument.constData());
    return qxpanel_run(program.toUtf8().constData(), args.data(), (unsigned)args.size());
}

QString ask_save_path(QWidget *parent, const QString &suggested)
{
    return QFileDialog::getSaveFileName(parent, "Save Support Report", suggested,
                                        "Text files (*.txt);;All files (*)");
}

} // namespace

MainWindow::RunProgram MainWindow::run_program = run_system_program;
MainWindow::AskPath MainWindow::ask_report_path = ask_save_path;

bool MainWindow::update_running()
{
    return g_update_running.load() != 0;
}

MainWindow::MainWindow(QWidget *parent, const QString &catalogue_dir)
    : QMainWindow(parent), ui(new Ui::MainWindow), timer(), ctx(), updating(0),
      from_catalogue(true), fw_path(), progress(), job(), fw_group(new QActionGroup(this)),
      catalogue_dir(catalogue_dir)
{
    ctx.init();
    ui->setupUi(this);
    build_catalogue();
    fw_shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_F), this, nullptr,
                                nullptr, Qt::WindowShortcut);
    connect(fw_shortcut, &QShortcut::activated, this, &MainWindow::select_fw_path);
    // Beside About, outside the form: what support needs after a failure.
    QAction *report = new QAction("Save Support Report...", this);
    report->setObjectName("actionSaveSupportReport");
    ui->menuHelp->addAction(report);
    connect(report, &QAction::triggered, this, &MainWindow::save_support_report);
    add_keyboard_access();
    fit_to_texts();
    connect(qApp, &QCoreApplication::aboutToQuit, this, &MainWindow::stop_worker);
}

MainWindow::~MainWindow()
{
    stop_worker();
    delete ui;
}

bool MainWindow::load_firmware_file(const QString &path)
{
    job.size = 0;
    fw_path = path;
    // A FIFO would block the window in the open, a device give bytes
    // without end; the built-in images are resources, not files.
    std::string problem;
    if (!path.startsWith(":") && qxfile_check_input(path.toStdString().c_str(), &problem))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    qint64 size = file.size();
    if (size > (qint64)FirmwareJob::capacity)
        return false;
    if (file.read(reinterpret_cast<char *>(job.data), size) != size)
        return false;
    job.size = (uint32_t)size;
    if (job.size < (uint32_t)ctx.load_header(nullptr))
        return false;
    if (ctx.load_header(job.data) == 0)
        return false;
    return UpdateContext::verify_image(job.data, (int32_t)job.size);
}

bool MainWindow::show_firmware(const QString &path)
{
    if (!load_firmware_file(path)) {
        refuse(QString("Firmware File Error: %1").arg(path));
        return false;
    }
    updaterules::Identity image;
    if (!updaterules::image_identity(ctx, &image)) {
        refuse(QString("Cannot get product name: %1").arg(path));
        return false;
    }
    ui->label->setText(QString("%1 Firmware Updater\n\nTo %2, build %3")
                           .arg(qstr(image.product), qstr(updaterules::version_text(image.version)),
                                qstr(updaterules::build_text(image.build))));
    fit_to_texts();
    return true;
}

void MainWindow::build_catalogue()
{
    std::string device_product;
    QString selected_path;
    QAction *selected = nullptr;
    // A device that another program is talking to is left alone: its
    // product is then not known, and the first image is chosen.
    bool opened = ctx.open_device();
    if (opened) {
        // The window updates the device the probe finds; with others there,
        // the user learns which one that is.
        std::string others = updaterules::other_devices_text(ctx);
        if (!others.empty()) {
            printf("%s: %s\n", QCoreApplication::applicationName().toLocal8Bit().constData(),
                   others.c_str());
            fflush(stdout);
        }
    }
    if (!opened)
        tell(updaterules::absence_cause().text);
    else if (!ctx.lock_device())
        tell(updaterules::lock_cause(ctx).text + "; its product is not read");
    else
        ctx.device_product(device_product);
    ctx.unlock_device();

    const QStringList names = QDir(catalogue_dir).entryList(QStringList() << "update*.bin");
    for (const QString &name : names) {
        QString path = catalogue_dir + "/" + name;
        if (!load_firmware_file(path))
            continue;
        updaterules::Identity image;
        if (!updaterules::image_identity(ctx, &image))
            continue;
        QString text = QString("%1, Version %2, build %3")
                           .arg(qstr(image.product), qstr(updaterules::version_text(image.version)),
                                qstr(updaterules::build_text(image.build)));
        QAction *act = ui->menuFile->addAction(text);
        act->setCheckable(true);
        fw_group->addAction(act);
        act->setData(path);
        if (selected_path.isEmpty() || device_product == image.product) {
            selected_path = path;
            selected = act;
        }
    }
    if (selected && !selected_path.isEmpty()) {
        selected->setChecked(true);
        show_firmware(selected_path);
    }
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (updating) {
        event->ignore();
        QMessageBox::warning(this, tr("Firmware Update"),
                             tr("The firmware is being written to the device.\n\n"
                                "Please wait until the update has finished."),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::on_button_fwupdate_clicked()
{
    if (updating != 0)
        return;
    updatehistory::begin(&history, QCoreApplication::applicationName().toStdString(),
                         QCoreApplication::applicationVersion().toStdString());
    history.image = fw_path.toStdString();
    // The settings panel holds the device while it runs: the system's own
    // taskkill.exe ends it, and one that survives (started as
    // administrator) stops the request before the device is asked.
    char taskkill[1024];
    (void)qxpanel_taskkill_path(taskkill, sizeof taskkill);
    QStringList kill_args;
    for (const char *argument : qxpanel_kill_args)
        kill_args << QString::fromUtf8(argument);
    run_program(QString::fromUtf8(taskkill), kill_args);
    int panel = qxpanel_wait_gone();
    if (panel != 0) {
        const std::string text = updaterules::panel_refusal_text(panel);
        record_end(text, "");
        refuse(qstr(text));
        return;
    }
    if (!show_firmware(QString(fw_path))) {
        record_end(QString("Firmware File Error: %1").arg(fw_path).toStdString(), "");
        return;
    }

    // Once the file dialog has been shown the user may install any image
    // of the right product.
    updaterules::RequestOptions options;
    options.downgrade_rule = from_catalogue;
    options.installed_test = from_catalogue && !rewrite;
    options.same_allowed = rewrite;
    updaterules::RequestCheck check =
        updaterules::check_request(ctx, job.data, job.size, fw_path.toStdString(), options);
    updatehistory::set_image(&history, job.data, job.size, fw_path.toStdString(),
                             fw_path.startsWith(":/"));
    if (!check.device.product.empty())
        updatehistory::set_device(&history, ctx, check.device);
    // A program of the Windows subsystem has no standard output: what a
    // person needs to know goes below the box's own text.
    if (check.result != updaterules::RequestResult::Ok) {
        record_end(check.text, check.cause.text);
        ctx.unlock_device();
        QString text = qstr(check.text);
        if (check.result == updaterules::RequestResult::NotConnected) {
            tell(check.cause.text);
            if (!check.cause.text.empty())
                text += "\n\n" + qstr(check.cause.text) + ".";
        }
        if (check.result == updaterules::RequestResult::DeviceBusy ||
            check.result == updaterules::RequestResult::NoLock)
            text += "\n\n" + qstr(check.cause.text) + ".";
        refuse(text);
        return;
    }

    QString question = qstr(updaterules::confirmation_text(check.device, check.image));
    // With several devices connected, which one this is.
    const std::string others = updaterules::other_devices_text(ctx);
    if (!others.empty())
        question += "\n\n" + qstr(others) + ".";
    int answer = QMessageBox::question(
        this, "Firmware Update", question,
        QMessageBox::Cancel | QMessageBox::Default | QMessageBox::Escape, QMessageBox::Ok);
    if (answer != QMessageBox::Ok) {
        ctx.unlock_device();
        record_end("Cancelled.", "not confirmed");
        return;
    }

    progress.value.store(0, std::memory_order_relaxed);
    updating = 1;
    job.ctx = &ctx;
    progress.job = &job;
    progress.maximum = (int32_t)job.size;
    ui->button_fwupdate->setEnabled(false);
    ui->button_fwupdate->setText("Updating...");
    set_selection_enabled(false);

    QThread *thread = new QThread();
    worker_thread = thread;
    g_update_running.store(1);
    // The reason the system shows when a log-off or shutdown waits for us.
    qxpower_block_session_end(session_handle(), updaterules::power_reason(ctx).c_str());
    FWUpdateWorker *worker = new FWUpdateWorker();
    worker->progress_ptr = &progress;
    worker->history = &history;
    connect(&timer, &QTimer::timeout, this, &MainWindow::on_timer);
    connect(worker, &FWUpdateWorker::finished, this, &MainWindow::on_finish);
    timer.start(100);
    worker->moveToThread(thread);
    connect(worker, &FWUpdateWorker::process_text, this, &MainWindow::on_processtext);
    connect(worker, &FWUpdateWorker::error, this, &MainWindow::on_error);
    connect(worker, &FWUpdateWorker::outcome, this, &MainWindow::on_outcome);
    connect(thread, &QThread::started, worker, &FWUpdateWorker::process);
    connect(worker, &FWUpdateWorker::finished, thread, &QThread::quit);
    connect(worker, &FWUpdateWorker::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    // The worker's thread takes no stop signal: they reach the handler on
    // this thread, one at a time, so the first one sent is the one told.
    qx_hold_stop_signals();
    thread->start();
    qx_release_stop_signals();
}

void MainWindow::on_timer()
{
    if (ui->progressBar->maximum() != progress.maximum)
        ui->progressBar->setMaximum(progress.maximum);
    ui->progressBar->setValue(progress.value.load(std::memory_order_relaxed));
}

void MainWindow::on_finish()
{
    timer.stop();
    on_timer();
    // The update is over: the device is free for other programs again.
    ctx.unlock_device();
    updating = 0;
    g_update_running.store(0);
    qxpower_unblock_session_end(session_handle());
    ui->button_fwupdate->setEnabled(true);
    ui->button_fwupdate->setText("Firmware Update");
    set_selection_enabled(true);
    if (exit_signal) {
        // Where it stopped and what the device holds, as the label says it:
        // the window is about to go, once its worker's thread has.
        stop_worker();
        tell(ui->label->text().toStdString());
        QCoreApplication::exit(128 + exit_signal);
    }
}

void MainWindow::stop_for_signal(int sig)
{
    if (!exit_signal)
        exit_signal = sig;
    qx_request_stop();
    // The update ended between the signal and this call.
    if (!updating) {
        tell(ui->label->text().toStdString());
        QCoreApplication::exit(128 + exit_signal);
    }
}

void MainWindow::stop_worker()
{
    // Its thread may still be on its way out after finished(): wait for
    // that too.
    if (!worker_thread)
        return;
    if (updating)
        qx_request_stop();
    // The worker's end would quit its thread through this thread's event
    // loop, which no longer runs: quit it from here, once process() returns.
    worker_thread->quit();
    if (!worker_thread->wait(QXUPDATE_QUIT_WAIT_MS)) {
        // It still uses job, ctx and progress: they must not go while it
        // runs, so nothing of this process may be torn down.
        tell("the update did not stop within " + std::to_string(QXUPDATE_QUIT_WAIT_MS / 1000) +
             " s of the end of the session; ending without it");
        std::_Exit(1);
    }
    if (!updating)
        return;
    // Its last texts and its end, which the event loop would have delivered.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (updating) {
        // Quit before its process() began: it never ran.
        timer.stop();
        ctx.unlock_device();
        updating = 0;
        g_update_running.store(0);
        qxpower_unblock_session_end(session_handle());
    }
    tell(ui->label->text().toStdString());
}

void *MainWindow::session_handle()
{
#ifdef Q_OS_WIN
    return reinterpret_cast<void *>(winId());
#else
    // A session's end comes as a signal here: no handle needed.
    return nullptr;
#endif
}

bool MainWindow::nativeEvent(const QByteArray &type, void *message, long *result)
{
#ifdef Q_OS_WIN
    const MSG *msg = static_cast<const MSG *>(message);
    if (msg->message == WM_QUERYENDSESSION && updating) {
        // No to the log-off or shutdown: the system shows the reason
        // registered at the update's start.
        *result = FALSE;
        return true;
    }
    if (msg->message == WM_ENDSESSION && msg->wParam && updating) {
        // The session ends all the same (forced): stop at a call boundary.
        stop_worker();
        *result = 0;
        return true;
    }
#endif
    return QMainWindow::nativeEvent(type, message, result);
}

void MainWindow::on_actionAbout_triggered()
{
    QFile file(":/res/LICENSE.txt");
    if (file.open(QIODevice::ReadOnly)) {
        QTextStream stream(&file);
        stream.setCodec("UTF-8");
        QString text = stream.readAll();
        text.remove(QChar(0x0C));

        QDialog dialog(nullptr);
        dialog.setWindowTitle("License Information");
        dialog.setFixedWidth(650);
        dialog.setFixedHeight(400);
        QVBoxLayout *layout = new QVBoxLayout();
        QTextBrowser *browser = new QTextBrowser();
        layout->addWidget(browser);
        dialog.setLayout(layout);
        browser->setText(text);
        dialog.exec();
    } else {
        qDebug() << "Open Error";
        QMessageBox::warning(this, tr("File Missing!"),
                             tr("There is a possibility that the file has been moved or deleted."),
                             QMessageBox::Ok, QMessageBox::NoButton);
        qDebug() << QDir(QDir::currentPath());
        qDebug() << QDir(QDir::homePath());
        qDebug() << QDir(QDir::rootPath());
    }
    file.close();
}

void MainWindow::save_support_report()
{
    QString path = ask_report_path(this, QDir(QDir::homePath()).filePath("qxupdater-report.txt"));
    if (path.isEmpty())
        return;
    std::string problem;
    if (updatereport::write(path.toStdString(), QCoreApplication::applicationName().toStdString(),
                            QCoreApplication::applicationVersion().toStdString(), &problem)) {
        refuse(QString("Cannot save the report to %1: %2").arg(path, qstr(problem)));
        return;
    }
    QMessageBox::information(this, "Save Support Report",
                             QString("The report was saved to %1. Nothing in it has been sent "
                                     "anywhere: send it to support yourself.")
                                 .arg(path));
}

void MainWindow::on_processtext(QString text)
{
    ui->label->setText(text);
    fit_to_texts();
}

void MainWindow::on_error(QString error)
{
    ui->label->setText(error);
    fit_to_texts();
}

// Under the worker's last text: where a stop landed, and the one step that
// brings a half-written device back.
void MainWindow::on_outcome(int device_state, QString stop_text)
{
    const auto state = updaterules::DeviceState(device_state);
    rewrite = state == updaterules::DeviceState::Incomplete ||
              state == updaterules::DeviceState::WrittenNotVerified;
    QString text = ui->label->text();
    if (!stop_text.isEmpty())
        text += "\n\n" + stop_text;
    const std::string step = updaterules::next_step_text(state, "Press Firmware Update again");
    if (!step.empty())
        text += "\n\n" + qstr(step);
    if (text != ui->label->text()) {
        ui->label->setText(text);
        fit_to_texts();
    }
}

void MainWindow::select_fw_path()
{
    if (updating != 0)
        return;
    QString filter = tr("Firmware (*)");
    QString path = QFileDialog::getOpenFileName(this, tr("Open File"), ".", filter);
    from_catalogue = false;
    if (path.isEmpty())
        return;
    if (QAction *checked = fw_group->checkedAction())
        checked->setChecked(false);
    show_firmware(path);
}

void MainWindow::on_menuFile_triggered(QAction *act)
{
    // The worker reads job while it runs.
    if (updating != 0)
        return;
    act->setChecked(true);
    show_firmware(act->data().toString());
}

void MainWindow::record_end(const std::string &error, const std::string &cause)
{
    std::string problem;
    if (updatehistory::finish(&history, "refused", error, cause, "unchanged", &problem))
        tell("the update history was not written: " + problem);
}

void MainWindow::refuse(const QString &text)
{
    QMessageBox::warning(this, "Error", text, QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::set_selection_enabled(bool enabled)
{
    ui->menuFile->menuAction()->setEnabled(enabled);
    fw_group->setEnabled(enabled);
    fw_shortcut->setEnabled(enabled);
}

void MainWindow::use_display_scale()
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // The default rounds 125 % down to 100 % and 150 % up to 200 %: the
    // fonts would then no longer match the form.
    QApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

void MainWindow::fit_to_texts()
{
    // The form is laid out for a normal font at 100 %. A scaled display
    // keeps that in logical pixels; a large font without a scale (a larger
    // font or font DPI setting alone) needs the form itself to grow. Every
    // text an update can show is measured up front, so that the window does
    // not change size in the middle of an update; the current text is
    // measured too for whatever else the label is given.
    static const char *const k_form = "qx_form_geometry";
    QStringList texts;
    using updaterules::Stage;
    for (Stage stage : {Stage::Preparing, Stage::Sending, Stage::Checking, Stage::Completed})
        texts << qstr(updaterules::stage_text(stage));
    for (int retry = 1; retry <= QXUPDATE_RETRIES; ++retry)
        texts << qstr(updaterules::stage_text(Stage::Retrying, retry));
    using updaterules::UpdateResult;
    for (UpdateResult result :
         {UpdateResult::NoImage, UpdateResult::NoChecksum, UpdateResult::Unstable,
          UpdateResult::TransferFailed, UpdateResult::NotEqual})
        texts << qstr(updaterules::error_text(result));
    texts << ui->label->text();

    QWidget *const widgets[] = {ui->label, ui->progressBar, ui->button_fwupdate};
    for (QWidget *widget : widgets)
        if (!widget->property(k_form).isValid())
            widget->setProperty(k_form, widget->geometry());
    const QSize form_size(320, 240);
    const QRect label = ui->label->property(k_form).toRect();

    const QFontMetrics metrics(ui->label->font());
    double need = form_scale;
    for (const QString &text : texts) {
        QRect used = metrics.boundingRect(QRect(QPoint(0, 0), label.size()),
                                          (int)ui->label->alignment(), text);
        need = std::max(need, (double)used.width() / label.width());
        need = std::max(need, (double)used.height() / label.height());
    }
    const QRect button = ui->button_fwupdate->property(k_form).toRect();
    const QFontMetrics button_metrics(ui->button_fwupdate->font());
    for (const QString &text : {ui->button_fwupdate->text(), QString("Updating...")}) {
        // Room for the button's frame on either side, as at the form's font.
        need =
            std::max(need, (double)(button_metrics.horizontalAdvance(text) + 24) / button.width());
        need = std::max(need, (double)(button_metrics.height() + 12) / button.height());
    }
    if (need <= form_scale)
        return;
    form_scale = need;

    auto scaled = [need](int v) { return (int)std::ceil(v * need - 1e-9); };
    for (QWidget *widget : widgets) {
        const QRect r = widget->property(k_form).toRect();
        widget->setGeometry(scaled(r.x()), scaled(r.y()), scaled(r.width()), scaled(r.height()));
    }
    setFixedSize(scaled(form_size.width()), scaled(form_size.height()));
}

void MainWindow::add_keyboard_access()
{
    // Tab reaches the button and Enter presses it, as Space does.
    ui->button_fwupdate->setFocusPolicy(Qt::StrongFocus);
    ui->button_fwupdate->setAutoDefault(true);
    ui->button_fwupdate->setAccessibleDescription(
        "Reads the connected device, asks, and then installs the firmware checked in the File "
        "menu");
    // The label keeps no accessible name of its own: its name is its text,
    // and a screen reader is told each new one.
    ui->label->setAccessibleDescription("Status of the firmware update");
    ui->progressBar->setAccessibleName("Update progress");
    ui->progressBar->setAccessibleDescription("Bytes of the firmware sent to the device");

    // The menus' titles carry no mnemonic, so their keys are given here.
    const struct {
        QKeySequence key;
        QMenu *menu;
    } menus[] = {{QKeySequence(Qt::ALT | Qt::Key_F), ui->menuFile},
                 {QKeySequence(Qt::ALT | Qt::Key_H), ui->menuHelp},
                 {QKeySequence(Qt::Key_F10), ui->menuFile}};
    for (const auto &entry : menus) {
        QMenu *menu = entry.menu;
        auto *shortcut = new QShortcut(entry.key, this, nullptr, nullptr, Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, menu] {
            if (menu->menuAction()->isEnabled())
                menuBar()->setActiveAction(menu->menuAction());
        });
    }
}

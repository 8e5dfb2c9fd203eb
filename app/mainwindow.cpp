#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <cstdio>

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QKeySequence>
#include <QMessageBox>
#include <QProcess>
#include <QShortcut>
#include <QTextBrowser>
#include <QTextStream>
#include <QThread>
#include <QVBoxLayout>

#include "fwupdateworker.h"
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

int run_system_program(const QString &program, const QStringList &arguments)
{
#ifdef Q_OS_WIN
    return QProcess::execute(program, arguments);
#else
    Q_UNUSED(program);
    Q_UNUSED(arguments);
    return -2; // as QProcess::execute for a program that cannot start
#endif
}

} // namespace

MainWindow::RunProgram MainWindow::run_program = run_system_program;

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
}

MainWindow::~MainWindow()
{
    delete ui;
}

bool MainWindow::load_firmware_file(const QString &path)
{
    job.size = 0;
    fw_path = path;
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
    // The settings panel holds the device while it runs. Whether it ran or
    // could be ended changes nothing here.
    run_program("taskkill.exe", QStringList() << "/f"
                                              << "/im"
                                              << "Orbetta_SettingsPanel.exe");
    if (!show_firmware(QString(fw_path)))
        return;

    // Once the file dialog has been shown the user may install any image
    // of the right product.
    updaterules::RequestOptions options;
    options.downgrade_rule = from_catalogue;
    options.installed_test = from_catalogue;
    updaterules::RequestCheck check =
        updaterules::check_request(ctx, job.data, job.size, fw_path.toStdString(), options);
    if (check.result != updaterules::RequestResult::Ok) {
        ctx.unlock_device();
        if (check.result == updaterules::RequestResult::NotConnected)
            tell(check.cause.text);
        QString text = qstr(check.text);
        if (check.result == updaterules::RequestResult::DeviceBusy ||
            check.result == updaterules::RequestResult::NoLock)
            text += "\n\n" + qstr(check.cause.text) + ".";
        refuse(text);
        return;
    }

    QString question = qstr(updaterules::confirmation_text(check.device, check.image));
    int answer = QMessageBox::question(
        this, "Firmware Update", question,
        QMessageBox::Cancel | QMessageBox::Default | QMessageBox::Escape, QMessageBox::Ok);
    if (answer != QMessageBox::Ok) {
        ctx.unlock_device();
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
    FWUpdateWorker *worker = new FWUpdateWorker();
    worker->progress_ptr = &progress;
    connect(&timer, &QTimer::timeout, this, &MainWindow::on_timer);
    connect(worker, &FWUpdateWorker::finished, this, &MainWindow::on_finish);
    timer.start(100);
    worker->moveToThread(thread);
    connect(worker, &FWUpdateWorker::process_text, this, &MainWindow::on_processtext);
    connect(worker, &FWUpdateWorker::error, this, &MainWindow::on_error);
    connect(thread, &QThread::started, worker, &FWUpdateWorker::process);
    connect(worker, &FWUpdateWorker::finished, thread, &QThread::quit);
    connect(worker, &FWUpdateWorker::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
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
    ui->button_fwupdate->setEnabled(true);
    ui->button_fwupdate->setText("Firmware Update");
    set_selection_enabled(true);
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

void MainWindow::on_processtext(QString text)
{
    ui->label->setText(text);
}

void MainWindow::on_error(QString error)
{
    ui->label->setText(error);
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

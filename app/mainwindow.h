#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "updatecontext.h"
#include "updatehistory.h"

class QAction;
class QActionGroup;
class QCloseEvent;
class QShortcut;
class QThread;

namespace Ui
{
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

  public:
    // catalogue_dir: where the built-in images are listed (tests point it
    // elsewhere).
    explicit MainWindow(QWidget *parent = nullptr,
                        const QString &catalogue_dir = QStringLiteral(":/res"));
    ~MainWindow() override;

    // Runs a program to its end and gives its exit code. The update button
    // ends the device maker's settings panel through it (the system's
    // taskkill.exe by its full path); tests replace it to see that command.
    // By default the core's bounded runner (qxpanel_run), which starts
    // nothing off Windows.
    using RunProgram = int (*)(const QString &program, const QStringList &arguments);
    static RunProgram run_program;

    // Asks where to save the support report ("" when the user cancels); by
    // default the save dialog. Tests replace it.
    using AskPath = QString (*)(QWidget *parent, const QString &suggested);
    static AskPath ask_report_path;

    // Lets the window follow the display's scale (125 %, 150 %, 200 %).
    // Must run before the application object exists.
    static void use_display_scale();

    // Whether a window of this process runs an update; safe in a signal
    // handler.
    static bool update_running();
    // A stop signal came during an update: the worker stops at its next
    // device call, and the program ends with 128 + sig once it has.
    void stop_for_signal(int sig);

    bool load_firmware_file(const QString &path);
    bool show_firmware(const QString &path);
    void build_catalogue();

  protected:
    // The worker uses job, ctx and progress, which live here.
    void closeEvent(QCloseEvent *event) override;
    // Windows: the session's end is refused while the device is written.
    bool nativeEvent(const QByteArray &type, void *message, long *result) override;

  private slots:
    void on_button_fwupdate_clicked();
    void on_timer();
    void on_finish();
    void on_actionAbout_triggered();
    void save_support_report();
    void on_processtext(QString text);
    void on_error(QString error);
    void on_outcome(int device_state, QString stop_text);
    void select_fw_path();
    void on_menuFile_triggered(QAction *act);
    // The application quits (the session ends): the worker stops at its next
    // call and is waited for, within a bound, before job and ctx go.
    void stop_worker();

  private:
    friend class tst_MainWindow; // looks at the timer and the updating flag

    void refuse(const QString &text);
    // Ends this update attempt's history record before the worker ran.
    void record_end(const std::string &error, const std::string &cause);
    void set_selection_enabled(bool enabled);
    // Grows the whole form when the label's font is too large for one of
    // its texts; never shrinks it.
    void fit_to_texts();
    void add_keyboard_access();
    // What the system knows the window by for the session's end (Windows).
    void *session_handle();

    Ui::MainWindow *ui;
    QTimer timer;
    UpdateContext ctx;
    int32_t updating;
    bool from_catalogue;
    QString fw_path;
    UpdateProgress progress;
    FirmwareJob job;
    QActionGroup *fw_group;
    QShortcut *fw_shortcut = nullptr;
    QString catalogue_dir;
    double form_scale = 1.0;
    // The update attempt under way, for the update history.
    updatehistory::Attempt history;
    // The last update ended with the device half-written: the next one
    // writes the image again even where it looks installed or not newer.
    bool rewrite = false;
    QPointer<QThread> worker_thread;
    int exit_signal = 0; // the stop signal to end with once the worker has
};

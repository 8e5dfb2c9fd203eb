#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "updatecontext.h"
#include "updatehistory.h"

class QAction;
class QActionGroup;
class QCloseEvent;
class QShortcut;

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
    // ends the device maker's settings panel through it; tests replace it
    // to see that command. By default QProcess::execute on Windows, where
    // the panel exists, and nothing elsewhere.
    using RunProgram = int (*)(const QString &program, const QStringList &arguments);
    static RunProgram run_program;

    // Asks where to save the support report ("" when the user cancels); by
    // default the save dialog. Tests replace it.
    using AskPath = QString (*)(QWidget *parent, const QString &suggested);
    static AskPath ask_report_path;

    // Lets the window follow the display's scale (125 %, 150 %, 200 %).
    // Must run before the application object exists.
    static void use_display_scale();

    bool load_firmware_file(const QString &path);
    bool show_firmware(const QString &path);
    void build_catalogue();

  protected:
    // The worker uses job, ctx and progress, which live here.
    void closeEvent(QCloseEvent *event) override;

  private slots:
    void on_button_fwupdate_clicked();
    void on_timer();
    void on_finish();
    void on_actionAbout_triggered();
    void save_support_report();
    void on_processtext(QString text);
    void on_error(QString error);
    void select_fw_path();
    void on_menuFile_triggered(QAction *act);

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
};

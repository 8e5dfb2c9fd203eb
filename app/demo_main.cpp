// Drives the window through one update from its built-in catalogue, on the
// screen, for the demo: shows it, presses the update button, confirms, and
// reports the outcome on standard output. Not installed with the product.
#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "mainwindow.h"
#include "qxtrace.h"
#include "stopsignals.h"
#include "updaterules.h"

namespace
{

void say(const QString &text)
{
    printf("%s\n", text.toUtf8().constData());
    fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    MainWindow::use_display_scale();
    QApplication app(argc, argv);
    // Lets a script learn whether the display can be used at all.
    if (argc > 1 && QString::fromLocal8Bit(argv[1]) == "--probe")
        return 0;

    QCoreApplication::setApplicationName("qxupdater");
    // QX_TRACE records the run, as in the window's own entry.
    qxtrace_from_env();
    MainWindow window;
    window.setWindowTitle(QCoreApplication::applicationName());
    // As the window's own entry: a stop signal ends it at a call boundary.
    new StopSignals(&window);
    window.show();

    auto *button = window.findChild<QPushButton *>("button_fwupdate");
    auto *label = window.findChild<QLabel *>("label");
    auto *bar = window.findChild<QProgressBar *>("progressBar");
    if (!button || !label || !bar)
        return 1;

    int status = 1;
    bool started = false;
    bool done = false;
    QString last_text = label->text();
    int last_decile = -1;
    say("window: " + last_text.replace('\n', ' '));

    // Answers the boxes the button opens: Ok to the confirmation; a refusal
    // ends the demo with its text.
    QTimer watcher;
    watcher.setInterval(50);
    QObject::connect(&watcher, &QTimer::timeout, [&]() {
        if (done)
            return;
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            if (box->windowTitle() == "Firmware Update" && box->button(QMessageBox::Cancel)) {
                say(box->text());
                say("window: Ok");
                started = true;
                box->button(QMessageBox::Ok)->click();
            } else {
                say("window refused: " + box->text());
                done = true;
                status = 3;
                if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                    ok->click();
                QTimer::singleShot(0, &app, &QCoreApplication::quit);
            }
            return;
        }
        if (!started)
            return;
        if (label->text() != last_text) {
            last_text = label->text();
            say(last_text);
        }
        if (bar->maximum() > 0 && bar->value() > 0) {
            int decile = (int)(10LL * bar->value() / bar->maximum());
            if (decile != last_decile && button->isEnabled() == false) {
                last_decile = decile;
                say(QString("window: %1 of %2 bytes sent").arg(bar->value()).arg(bar->maximum()));
            }
        }
        if (button->isEnabled()) {
            done = true;
            // The window shows the rules' texts: the last one tells the outcome.
            const QString completed =
                QString::fromStdString(updaterules::stage_text(updaterules::Stage::Completed));
            status = last_text == completed ? 0 : 1;
            say(QString("window: bar at %1 of %2, button reads \"%3\"")
                    .arg(bar->value())
                    .arg(bar->maximum())
                    .arg(button->text()));
            // Leave the result on the screen for a moment.
            QTimer::singleShot(2000, &app, &QCoreApplication::quit);
        }
    });
    watcher.start();

    QTimer::singleShot(1000, [&]() {
        say("window: pressing \"" + button->text() + "\"");
        button->click();
    });
    // An update that takes longer than this has hung; the worker may still
    // hold the window's records, so leave without tearing them down.
    QTimer::singleShot(300000, []() {
        say("window: no result after 300 s");
        std::_Exit(1);
    });

    // A stop signal ends the window with its own status.
    const int code = app.exec();
    return code ? code : status;
}

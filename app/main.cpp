#include <memory>

#include <QApplication>

#include "mainwindow.h"
#include "singleinstance.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Before the window: a second start must not talk to the device.
    bool no_lock_dir = false;
    QString lock_dir = SingleInstance::default_lock_dir(&no_lock_dir);
    if (no_lock_dir)
        return -1; // said; running unguarded could let two copies write a device
    SingleInstance guard(QCoreApplication::applicationName(), lock_dir);
    if (!guard.is_first())
        return -1;

    QCoreApplication::setApplicationVersion("1.0.0");
    // On the heap: the window holds the 1 MiB image buffer.
    std::unique_ptr<MainWindow> window(new MainWindow());
    window->setWindowTitle(QCoreApplication::applicationName());
    window->show();
    return app.exec();
}

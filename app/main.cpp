#include <memory>

#include <QApplication>
#include <QCommandLineParser>

#include "mainwindow.h"
#include "qxtrace.h"
#include "singleinstance.h"
#include "stopsignals.h"

namespace
{

bool asks_for_help(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all" || arg == "-v" ||
            arg == "--version")
            return true;
    }
    return false;
}

// --help and --version answer on the terminal: no display, no window, no
// device call and no single-instance guard. The window itself takes no
// options; whatever else is given goes to the application object unchanged.
int answer_help(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion("1.0.0");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Updates the firmware of a QX-10 or QX-20 USB audio interface.\n"
        "\n"
        "The window lists the firmware images built into the program in its File menu\n"
        "and checks the one for the connected device's product. The update button reads\n"
        "the device's product, version and build, refuses an image for another product,\n"
        "an older one and the one already installed, asks, and then sends the image and\n"
        "checks the device's checksum. Ctrl+Alt+F opens a firmware file from disk; after\n"
        "that only the product check stays in force. Help > About shows the licence\n"
        "notice.\n"
        "\n"
        "Only one copy runs at a time: a second start exits with status 255 (-1).\n"
        "The program has no options of its own beyond those below; the toolkit's own\n"
        "options (such as -platform or -style) are passed on to it.\n"
        "\n"
        "qxtool(1) does the same on the command line; qxsim(1) simulates a device.");
    parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    // The toolkit's options are not errors here.
    parser.parse(app.arguments());
    if (parser.isSet(version))
        parser.showVersion();
    parser.showHelp(0);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (asks_for_help(argc, argv))
        return answer_help(argc, argv);
    MainWindow::use_display_scale();
    QApplication app(argc, argv);
    // Before the window: a second start must not talk to the device.
    bool no_lock_dir = false;
    QString lock_dir = SingleInstance::default_lock_dir(&no_lock_dir);
    if (no_lock_dir)
        return -1; // said; running unguarded could let two copies write a device
    SingleInstance guard(QCoreApplication::applicationName(), lock_dir);
    if (!guard.is_first())
        return -1;

    // QX_TRACE records the run. After the guard: a second start must not
    // cut short the first one's trace.
    qxtrace_from_env();
    QCoreApplication::setApplicationVersion("1.0.0");
    // On the heap: the window holds the 1 MiB image buffer.
    std::unique_ptr<MainWindow> window(new MainWindow());
    window->setWindowTitle(QCoreApplication::applicationName());
    new StopSignals(window.get());
    window->show();
    return app.exec();
}

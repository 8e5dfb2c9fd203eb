#pragma once

#include <QObject>

class MainWindow;
class QSocketNotifier;

// SIGTERM, SIGHUP and SIGINT during an update stop it at its next device
// call instead of ending the program mid-call: the handler asks for the
// stop and wakes the event loop through a pipe, and the window ends once
// its worker has (as qxtool does, with 128 + the signal). Outside an update
// the signals do what they always did. Nothing on Windows, where a window
// hears of the session's end as a message.
class StopSignals : public QObject
{
    Q_OBJECT

  public:
    explicit StopSignals(MainWindow *window);
    ~StopSignals() override;

  private slots:
    void on_signal();

  private:
    MainWindow *window;
    QSocketNotifier *notifier = nullptr;
};

#pragma once

#include <QObject>
#include <QString>

struct UpdateProgress;
namespace updatehistory
{
struct Attempt;
}

// Runs one confirmed update on a thread of its own and reports its stages.
// finished() comes exactly once, last, on every path.
class FWUpdateWorker : public QObject
{
    Q_OBJECT

  public:
    explicit FWUpdateWorker(QObject *parent = nullptr);
    ~FWUpdateWorker() override;

    // Set by the creator before the thread starts; not owned.
    UpdateProgress *progress_ptr = nullptr;
    // The attempt's history record, ended with the update's outcome; may be
    // null. Not owned.
    updatehistory::Attempt *history = nullptr;

  signals:
    void finished();
    void process_text(QString text);
    void error(QString err);
    // What the device holds at the end (an updaterules::DeviceState) and,
    // after a stop, where it stopped; just before finished().
    void outcome(int device_state, QString stop_text);

  public slots:
    void process();
};

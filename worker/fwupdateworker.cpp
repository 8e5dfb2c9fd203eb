#include "fwupdateworker.h"

#include "updatecontext.h"
#include "updatehistory.h"
#include "updaterules.h"

FWUpdateWorker::FWUpdateWorker(QObject *parent) : QObject(parent) {}

FWUpdateWorker::~FWUpdateWorker() = default;

void FWUpdateWorker::process()
{
    FirmwareJob *job = progress_ptr ? progress_ptr->job : nullptr;
    updaterules::UpdateReport report;
    report.stage = [this](updaterules::Stage, const std::string &text) {
        emit process_text(QString::fromStdString(text));
    };
    report.error = [this](const std::string &text) { emit error(QString::fromStdString(text)); };
    UpdateContext *ctx = job ? job->ctx : nullptr;
    const uint8_t *data = job ? job->data : nullptr;
    uint32_t size = job ? job->size : 0;
    QxProgress *position = progress_ptr ? &progress_ptr->value : nullptr;
    updaterules::FailureCause cause;
    updaterules::UpdateResult result;
    if (history) {
        std::string problem;
        result = updatehistory::run_recorded(history, ctx, data, size, position, report, &cause,
                                             &problem);
        // No standard output may reach anyone: said where it can be.
        if (!problem.empty())
            qWarning("the update history was not written: %s", problem.c_str());
    } else {
        result = updaterules::run_update(ctx, data, size, position, report, &cause);
    }
    emit outcome(int(cause.device_state), result == updaterules::UpdateResult::Stopped
                                              ? QString::fromStdString(cause.text)
                                              : QString());
    emit finished();
}

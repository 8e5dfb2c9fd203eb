#include "fwupdateworker.h"

#include "updatecontext.h"
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
    updaterules::FailureCause cause;
    updaterules::UpdateResult result = updaterules::run_update(
        job ? job->ctx : nullptr, job ? job->data : nullptr, job ? job->size : 0,
        progress_ptr ? &progress_ptr->value : nullptr, report, &cause);
    emit outcome(int(cause.device_state), result == updaterules::UpdateResult::Stopped
                                              ? QString::fromStdString(cause.text)
                                              : QString());
    emit finished();
}

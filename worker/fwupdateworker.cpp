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
    if (history) {
        std::string problem;
        updatehistory::run_recorded(history, ctx, data, size, position, report, nullptr, &problem);
        // No standard output may reach anyone: said where it can be.
        if (!problem.empty())
            qWarning("the update history was not written: %s", problem.c_str());
    } else {
        updaterules::run_update(ctx, data, size, position, report);
    }
    emit finished();
}

// qxtool update: the window's update request and worker, on a terminal.
// The checks, texts and the update itself are the shared update rules; this
// file only chooses the image, asks, and shows progress.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "catalogue.h"
#include "console.h"
#include "prgdecode.h"
#include "qxtool.h"
#include "updaterules.h"

namespace
{

using Clock = std::chrono::steady_clock;

void end_settings_panel()
{
#ifdef _WIN32
    // The settings panel holds the device while it runs; whether it was
    // running makes no difference.
    (void)system("taskkill.exe /f /im Orbetta_SettingsPanel.exe >NUL 2>&1");
#endif
}

int exit_status(updaterules::RequestResult r)
{
    switch (r) {
    case updaterules::RequestResult::Ok:
        return QXTOOL_OK;
    case updaterules::RequestResult::NotConnected:
        return QXTOOL_NO_DEVICE;
    case updaterules::RequestResult::ChecksumError:
        return QXTOOL_BAD_FILE;
    case updaterules::RequestResult::NoProduct:
    case updaterules::RequestResult::NoVersion:
    case updaterules::RequestResult::NoBuild:
    case updaterules::RequestResult::NoChecksum:
        // The device did not answer: the same status as info and checksum.
        return QXTOOL_FAILED;
    default:
        return QXTOOL_REFUSED;
    }
}

std::string product_of(const unsigned char *image)
{
    PrgHeader hdr;
    prg_copy_header(&hdr, image);
    char buf[16] = {};
    prg_get_product(&hdr, buf, sizeof buf);
    return buf;
}

// Like the window's catalogue: the built-in image whose product is the
// device's, else the first one (which the product check then refuses).
int choose_builtin(UpdateContext &ctx, std::vector<uint8_t> *data, std::string *name)
{
    if (!ctx.open_device()) {
        console_error("Supported hardware is not connected.");
        return QXTOOL_NO_DEVICE;
    }
    std::string device;
    if (!ctx.device_product(device)) {
        console_error("Cannot get connected hardware product");
        return QXTOOL_FAILED;
    }
    const CatalogueImage *chosen = nullptr;
    for (unsigned i = 0; i < qxtool_catalogue_count; ++i) {
        const CatalogueImage &c = qxtool_catalogue[i];
        if (c.size < PRG_HEADER_SIZE || prg_verify(c.data, (int32_t)c.size) != 0)
            continue;
        if (!chosen || product_of(c.data) == device)
            chosen = &c;
        if (product_of(c.data) == device)
            break;
    }
    if (!chosen) {
        console_problem("no valid built-in firmware image");
        return QXTOOL_BAD_FILE;
    }
    data->assign(chosen->data, chosen->data + chosen->size);
    *name = std::string(chosen->name) + " (built-in)";
    return QXTOOL_OK;
}

bool starts_with(const std::string &s, const char *prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// Runs the update on a thread of its own, as the window does, while this
// thread draws the progress bar.
int run(UpdateContext &ctx, const std::vector<uint8_t> &image)
{
    const bool bar = console_error_is_terminal();
    QxProgress progress{0};
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    bool sending = false;
    Clock::time_point started;
    auto draw = [&]() { // lock held
        double s = std::chrono::duration<double>(Clock::now() - started).count();
        console_progress(progress.load(), (int64_t)image.size(), s);
    };

    updaterules::UpdateReport report;
    report.process_text = [&](const std::string &text) {
        std::lock_guard<std::mutex> hold(lock);
        if (sending && bar) {
            draw();
            console_progress_end();
        }
        // The transfer runs between these texts and "Checking...".
        sending = text == "Sending and Updating..." || starts_with(text, "Retrying...");
        started = Clock::now();
        console_text(text);
    };
    report.error = [&](const std::string &text) {
        std::lock_guard<std::mutex> hold(lock);
        if (sending && bar)
            console_progress_end();
        sending = false;
        console_error(text);
    };

    updaterules::UpdateResult result = updaterules::UpdateResult::NoImage;
    std::thread worker([&]() {
        result =
            updaterules::run_update(&ctx, image.data(), (uint32_t)image.size(), &progress, report);
        std::lock_guard<std::mutex> hold(lock);
        done = true;
        wake.notify_all();
    });
    {
        std::unique_lock<std::mutex> hold(lock);
        while (!done) {
            // A screen refresh, not a device wait: it ends as soon as the
            // update does.
            wake.wait_for(hold, std::chrono::milliseconds(100));
            if (!done && sending && bar)
                draw();
        }
    }
    worker.join();
    return result == updaterules::UpdateResult::Completed ? QXTOOL_OK : QXTOOL_FAILED;
}

} // namespace

int qxtool_update(const UpdateArgs &a)
{
    end_settings_panel();
    std::vector<uint8_t> image;
    std::string name = a.image;
    // A bad file is refused before the device is addressed.
    if (!a.image.empty()) {
        int rc = qxtool_load_image(a.image, &image);
        if (rc != QXTOOL_OK)
            return rc;
    }
    UpdateContext ctx;
    if (a.image.empty()) {
        int rc = choose_builtin(ctx, &image, &name);
        if (rc != QXTOOL_OK)
            return rc;
    }

    updaterules::RequestOptions options;
    options.downgrade_rule = !a.allow_older;
    options.installed_test = !a.allow_reinstall;
    updaterules::RequestCheck check =
        updaterules::check_request(ctx, image.data(), (uint32_t)image.size(), name, options);
    if (check.result != updaterules::RequestResult::Ok) {
        console_error(check.text);
        return exit_status(check.result);
    }

    console_text(updaterules::confirmation_text(check.device, check.image));
    if (!a.yes) {
        if (!console_input_is_terminal()) {
            console_problem("not confirmed: standard input is not a terminal "
                            "(give --yes to update without asking)");
            return QXTOOL_REFUSED;
        }
        if (!console_ask("Update the device? [y/N] ")) {
            console_error("Cancelled.");
            return QXTOOL_REFUSED;
        }
    }
    return run(ctx, image);
}

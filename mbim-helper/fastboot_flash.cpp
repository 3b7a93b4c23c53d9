// SPDX-License-Identifier: GPL-2.0-or-later
#include "fastboot_flash.h"

#include <gio/gio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "child_process.h"
#include "fastboot_payload.h"
#include "handlers.h"
#include "helper_queue.h"
#include "log.h"
#include "mbim_connection.h"
#include "progress_dialog.h"
#include "run_command.h"

namespace {

// Runs the flash of one payload; *result is the count of successful steps while it runs
// and 1 (every step succeeded) or 0 when it returns. The caller sets it to 0.
void quillon_fastboot_flash_command(const std::string &payload, int32_t *result);
// Runs "fastboot reboot" and waits for it.
void quil_fastboot_reboot();

// The fixed pipeline that prints the USB id of the module when it shows up in its
// bootloader; no outside text goes into it.
constexpr const char *kFastbootModePoll =
    "lsusb | grep \"Quillon Quillon KT300 Modem\" | awk -F ' ' 'NR=6 {print $6}'";
constexpr std::string_view kFastbootModeId = "3f1e:f00f";
constexpr int kPollCount = 5;
constexpr std::size_t kPollBufferSize = 32;
constexpr guint kRebootWaitMs = 3000;
constexpr guint kPollIntervalMs = 1000;

constexpr std::string_view kRespFlashing = "fastboot_flashing";
constexpr std::string_view kRespSwitchPort = "fastboot_switch_port";
constexpr std::string_view kStatusFlashing = "fastboot flashing...";
constexpr std::string_view kStatusOk = "fastboot flash ok";
constexpr std::string_view kStatusFail = "fastboot flash fail";
constexpr std::string_view kStepFinished = "Finished. Total time:";

constexpr int kDialogInitialPercentage = 10;
constexpr int kFinalPercentage = 99;
constexpr auto kDialogSettle = std::chrono::seconds(2);
constexpr auto kStepPause = std::chrono::seconds(1);
constexpr auto kResultShown = std::chrono::seconds(3);

// --- one fastboot flash at a time ---------------------------------------------------

std::atomic<bool> fastboot_flash_busy{false};

// The right to the module for one fastboot flash. Taken by the handler that accepts a
// request, carried along with the work, given back when its holder goes away.
class FlashClaim {
  public:
    FlashClaim() = default;
    FlashClaim(FlashClaim &&other) noexcept : held_(std::exchange(other.held_, false)) {}
    FlashClaim &operator=(FlashClaim &&other) noexcept {
        if (this != &other) {
            give_back();
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }
    FlashClaim(const FlashClaim &) = delete;
    FlashClaim &operator=(const FlashClaim &) = delete;
    ~FlashClaim() { give_back(); }

    // Empty when another flash holds the module.
    static FlashClaim take() {
        bool expected = false;
        return FlashClaim(fastboot_flash_busy.compare_exchange_strong(expected, true));
    }
    explicit operator bool() const { return held_; }
    void give_back() {
        if (std::exchange(held_, false))
            fastboot_flash_busy.store(false);
    }

  private:
    explicit FlashClaim(bool held) : held_(held) {}
    bool held_ = false;
};

// The claim of the request being dispatched, from the handler to the completion it
// calls. Touched only in "req_recv", where both run.
FlashClaim &claim_in_hand() {
    static FlashClaim claim;
    return claim;
}

// --- status texts, progress ---------------------------------------------------------

void send_status(std::string_view text) {
    quil_adapter_helperm_send_control_message_to_helperd(
        CONTROL_FASTBOOT_STATUS, static_cast<int32_t>(text.size()), text.data());
}

// A percentage goes to the dialog (if there is one) and to the bus.
void show_percentage(ProgressDialog &dialog, int percentage) {
    quil_progress_dialog_set_percentage(dialog, percentage);
    std::string digits = std::to_string(percentage);
    quil_adapter_helperm_send_control_message_to_helperd(
        CONTROL_FASTBOOT_PROGRESS, static_cast<int32_t>(digits.size()), digits.c_str());
}

// Starts a child while no MBIM device is being closed (see fd_guard.h).
quil::ChildProcess start_child(const quil::ChildSpec &spec, std::string *error) {
    quil::DescriptorCreation creating;
    return quil::ChildProcess::start(spec, error);
}

struct StepOutcome {
    bool finished = false;  // the output holds "Finished. Total time:"
    int status = -1;        // wait status; -1 when fastboot could not be started
};

StepOutcome run_fastboot_flash(const FastbootStep &step) {
    quil::ChildSpec spec;
    spec.argv = {"fastboot", "flash", step.partition, step.image_path};
    spec.output_pipe = true;
    QLOG_DEBUG("command = %s %d", quil::command_text(spec.argv).c_str(), __LINE__);
    if (!quil::tool_available("fastboot"))
        return {};
    std::string error;
    quil::ChildProcess child = start_child(spec, &error);
    StepOutcome outcome;
    if (!child) {
        QLOG_DEBUG("can't start fastboot flash %s: %s", step.partition.c_str(), error.c_str());
        return outcome;
    }
    // All of it, however long: a tool whose output fills the pipe must not block.
    std::string output = quil::read_to_end(child.output_fd());
    child.close_output();
    outcome.status = child.wait();
    outcome.finished = output.find(kStepFinished) != std::string::npos;
    return outcome;
}

// --- the flash thread ---------------------------------------------------------------

struct FlashJob {
    std::string payload;
    FlashClaim claim;
};

gpointer fastboot_flashing_command(gpointer data) {
    std::unique_ptr<FlashJob> job(static_cast<FlashJob *>(data));
    std::string shown = quil_printable(job->payload);
    QLOG_ERR("[%s]: %s", __func__, shown.c_str());
    send_status(kStatusFlashing);
    int32_t result = 0;
    quillon_fastboot_flash_command(job->payload, &result);
    // The module has been rebooted and the dialog closed: the next flash may begin.
    job->claim.give_back();
    send_status(result == 1 ? kStatusOk : kStatusFail);
    QLOG_ERR("[%s]:%s", __func__, shown.c_str());
    return nullptr;
}

void start_flash_thread(std::string payload, FlashClaim claim) {
    auto job = std::make_unique<FlashJob>(FlashJob{std::move(payload), std::move(claim)});
    GError *error = nullptr;
    GThread *thread =
        g_thread_try_new("fastboot_flash", fastboot_flashing_command, job.get(), &error);
    if (thread == nullptr) {
        QLOG_ERR("thread init failed! %s", error->message);
        g_error_free(error);
        return;  // the claim goes with the job
    }
    job.release();  // the thread owns it now
    g_thread_unref(thread);
}

// --- waiting for fastboot mode (main loop) -------------------------------------------

// One accepted request on its way into fastboot mode. It answers exactly once: with
// "fastboot_flashing" when the module was seen in its bootloader, and otherwise, at
// the latest when it goes away, with "fastboot_switch_port".
class FastbootSwitch {
  public:
    FastbootSwitch(int32_t serviceid, int32_t cid, std::string payload, FlashClaim claim)
        : serviceid_(serviceid),
          cid_(cid),
          payload_(std::move(payload)),
          claim_(std::move(claim)) {}
    // The moved-from session owes no answer.
    FastbootSwitch(FastbootSwitch &&other) noexcept
        : serviceid_(other.serviceid_),
          cid_(other.cid_),
          payload_(std::move(other.payload_)),
          claim_(std::move(other.claim_)),
          polls_(other.polls_),
          answered_(std::exchange(other.answered_, true)) {}
    FastbootSwitch &operator=(FastbootSwitch &&) = delete;
    FastbootSwitch(const FastbootSwitch &) = delete;
    FastbootSwitch &operator=(const FastbootSwitch &) = delete;
    ~FastbootSwitch() {
        if (!answered_)
            answer(false);
    }

    int polls() const { return polls_; }
    void count_poll() { ++polls_; }

    // Sends the response, gives back keep_pointer_exist_mutex and, when the module is
    // in fastboot mode, starts the flash.
    void answer(bool fastboot_mode) {
        answered_ = true;
        std::string_view text = fastboot_mode ? kRespFlashing : kRespSwitchPort;
        int ret = quil_adapter_alloc_and_send_resp_structure(
            serviceid_, cid_, fastboot_mode ? 0 : 1, static_cast<int32_t>(text.size()),
            text.data());
        if (ret != 0)
            QLOG_ERR("send resp to main loop failed!");
        quil_mutex_keep_pointer_exist_unlock();
        if (!fastboot_mode) {
            claim_.give_back();
            return;
        }
        QLOG_DEBUG("payload: %s", quil_printable(payload_).c_str());
        start_flash_thread(std::move(payload_), std::move(claim_));
    }

  private:
    int32_t serviceid_;
    int32_t cid_;
    std::string payload_;
    FlashClaim claim_;
    int polls_ = 0;
    bool answered_ = false;
};

using SwitchRef = std::unique_ptr<FastbootSwitch>;

void poll_fastboot_mode(SwitchRef session);

// The session held by a timer source; a source removed before it ran takes the session
// with it, which then answers.
void drop_session(gpointer data) {
    SwitchRef(static_cast<FastbootSwitch *>(data));
}

gboolean on_wait_over(gpointer data) {
    // The source keeps an empty shell that owes nothing.
    auto next = std::make_unique<FastbootSwitch>(std::move(*static_cast<FastbootSwitch *>(data)));
    if (next->polls() < kPollCount)
        poll_fastboot_mode(std::move(next));
    // After the last poll the session ends here, unanswered: "fastboot_switch_port".
    return G_SOURCE_REMOVE;
}

// The timer runs in the main loop whichever thread adds it.
void wait_then_poll(SwitchRef session, guint ms) {
    g_timeout_add_full(G_PRIORITY_DEFAULT, ms, on_wait_over, session.release(), drop_session);
}

void poll_done(SwitchRef session, std::string_view output) {
    char buffer[kPollBufferSize] = {};
    std::snprintf(buffer, sizeof(buffer), "init%d", session->polls());
    std::memcpy(buffer, output.data(), std::min(output.size(), sizeof(buffer) - 1));
    QLOG_DEBUG("%s", quil_printable(buffer).c_str());
    if (std::strstr(buffer, kFastbootModeId.data()) != nullptr) {
        QLOG_CRIT("match f00f");
        session->answer(true);
        return;
    }
    session->count_poll();
    wait_then_poll(std::move(session), kPollIntervalMs);
}

void on_poll_output(GObject *source, GAsyncResult *res, gpointer data) {
    SwitchRef session(static_cast<FastbootSwitch *>(data));
    g_autoptr(GBytes) out = nullptr;
    g_autoptr(GError) error = nullptr;
    if (!g_subprocess_communicate_finish(G_SUBPROCESS(source), res, &out, nullptr, &error)) {
        QLOG_DEBUG("open get_port_cmd error: %s", error->message);
        poll_done(std::move(session), "");
        return;
    }
    gsize size = 0;
    const char *bytes =
        out != nullptr ? static_cast<const char *>(g_bytes_get_data(out, &size)) : nullptr;
    poll_done(std::move(session), std::string_view(bytes != nullptr ? bytes : "", size));
}

// Runs the poll pipeline without blocking the main loop.
void poll_fastboot_mode(SwitchRef session) {
    if (!quil::tool_available("lsusb")) {
        poll_done(std::move(session), "");
        return;
    }
    const char *argv[] = {"/bin/sh", "-c", kFastbootModePoll, nullptr};
    g_autoptr(GError) error = nullptr;
    g_autoptr(GSubprocess) poll =
        g_subprocess_newv(argv,
                          static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                        G_SUBPROCESS_FLAGS_STDERR_SILENCE),
                          &error);
    if (poll == nullptr) {
        QLOG_DEBUG("open get_port_cmd error");
        poll_done(std::move(session), "");
        return;
    }
    // The operation holds its own reference to the subprocess.
    g_subprocess_communicate_async(poll, nullptr, nullptr, on_poll_output, session.release());
}

}  // namespace

int quillon_fastboot_flash_request(int32_t serviceid, int32_t cid, int32_t rtcode, int32_t len,
                                   const char *payload, ReadyFn ready, const char *at_command) {
    FlashClaim claim = FlashClaim::take();
    if (!claim) {
        QLOG_ERR("fastboot flash already running, refuse request!");
        return -1;
    }
    claim_in_hand() = std::move(claim);
    int ret = quil_parse_send_req_atcmd(serviceid, cid, rtcode, len, payload, ready, at_command);
    // Not taken by the completion: the request was not accepted after all.
    claim_in_hand().give_back();
    return ret;
}

void quillon_fastboot_flash_ready(GObject *, GAsyncResult *, gpointer user_data) {
    FlashClaim claim = std::move(claim_in_hand());
    int32_t serviceid = 0;
    int32_t cid = 0;
    std::string payload;
    if (user_data == nullptr) {
        QLOG_ERR("NULL pointer!");
    } else {
        RequestRecord record(static_cast<HelperRequest *>(user_data));
        serviceid = record->serviceid;
        cid = record->cid;
        int32_t len = std::clamp(record->len, 0, HELPER_MAX_PAYLOAD);
        payload.assign(request_record_payload(record.get()), static_cast<std::size_t>(len));
    }
    QLOG_DEBUG("payload: %s", quil_printable(payload).c_str());
    // The 3-second wait, the polls and the answer run in the main loop, so that the
    // request path goes on meanwhile.
    wait_then_poll(
        std::make_unique<FastbootSwitch>(serviceid, cid, std::move(payload), std::move(claim)),
        kRebootWaitMs);
}

namespace {

void quillon_fastboot_flash_command(const std::string &payload, int32_t *result) {
    QLOG_DEBUG("interpayload = %s %d", quil_printable(payload).c_str(), __LINE__);
    payload_analysis analysis;
    PayloadVerdict verdict = quil_program_payload_analysis(payload, analysis);
    for (const auto &field : analysis.unmatched_fields) {
        QLOG_DEBUG("[%s:]current field don't match partation and path", __func__);
        QLOG_DEBUG("field: %s", quil_printable(field).c_str());
    }
    if (verdict != PayloadVerdict::ok) {
        QLOG_ERR("[%s:]don't match partation and path", __func__);
        QLOG_ERR("payload refused: %s", quil_payload_verdict_text(verdict));
        QLOG_ERR("don't match partation and path,rebooting module");
        quil_fastboot_reboot();
        return;
    }
    QLOG_DEBUG("payload_analysis->flashpath = %s %d", analysis.flashpath.c_str(), __LINE__);
    QLOG_DEBUG("payload_analysis->ap_ver = %s %d", analysis.ap_ver.c_str(), __LINE__);
    QLOG_DEBUG("payload_analysis->modem_ver = %s %d", analysis.modem_ver.c_str(), __LINE__);
    QLOG_DEBUG("payload_analysis->dev_ver = %s %d", analysis.dev_ver.c_str(), __LINE__);
    QLOG_DEBUG("payload_analysis->oem_ver = %s %d", analysis.oem_ver.c_str(), __LINE__);
    QLOG_DEBUG("payload_analysis->op_ver = %s %d", analysis.op_ver.c_str(), __LINE__);
    QLOG_DEBUG("payload_analysis->dev_ver_path = %s %d", analysis.dev_ver_path.c_str(), __LINE__);
    QLOG_DEBUG("payload_analysis->oem_ver_path = %s %d", analysis.oem_ver_path.c_str(), __LINE__);
    QLOG_DEBUG("payload_analysis->op_ver_path = %s %d", analysis.op_ver_path.c_str(), __LINE__);

    XauthorityPath xauthority{};
    int found = -1;
    {
        quil::DescriptorCreation creating;
        found = quillon_get_zenity_environment_variable(xauthority);
    }
    if (found != 0)
        QLOG_ERR("get zenity_environment_variable path error");
    std::string_view xauthority_text(xauthority.data(),
                                     strnlen(xauthority.data(), xauthority.size()));
    for (const auto &entry : quil_progress_dialog_environment(xauthority_text))
        QLOG_DEBUG("environment: %s", quil_printable(entry).c_str());
    ProgressDialog dialog;
    {
        quil::DescriptorCreation creating;
        dialog = quil_progress_dialog_open(xauthority_text, kDialogInitialPercentage);
    }
    std::this_thread::sleep_for(kDialogSettle);

    std::vector<FastbootStep> steps = quil_fastboot_plan_steps(analysis);
    QLOG_DEBUG("steps: %zu, increment: %d", steps.size(),
               steps.empty() ? 0 : steps.front().percentage);
    for (const FastbootStep &step : steps) {
        show_percentage(dialog, step.percentage);
        if (step.flush == StepFlush::before)
            quil_progress_dialog_flush(dialog);
        StepOutcome outcome = run_fastboot_flash(step);
        if (outcome.finished)
            ++*result;
        else
            QLOG_CRIT("flash error %s", step.partition.c_str());
        bool exited_ok = quil::exited_ok(outcome.status);
        if (!exited_ok)
            QLOG_DEBUG("%s command return error! %d", step.partition.c_str(), outcome.status);
        if (step.flush == StepFlush::after_success && exited_ok)
            quil_progress_dialog_flush(dialog);
        if (step.pause == StepPause::always || exited_ok)
            std::this_thread::sleep_for(kStepPause);
    }

    int32_t successes = *result;
    quil_fastboot_reboot();
    bool all_ok = !steps.empty() && successes == static_cast<int32_t>(steps.size());
    *result = all_ok ? 1 : 0;
    quil_progress_dialog_set_text(dialog, all_ok ? PROGRESS_LABEL_SUCCESS : PROGRESS_LABEL_FAILED);
    show_percentage(dialog, kFinalPercentage);
    quil_progress_dialog_flush(dialog);
    std::this_thread::sleep_for(kResultShown);
    int status = quil_progress_dialog_close(dialog);
    if (status != -1 && !quil::exited_ok(status))
        QLOG_DEBUG("progress dialog ended with status %d", status);
}

void quil_fastboot_reboot() {
    quil::ChildSpec spec;
    spec.argv = {"fastboot", "reboot"};
    if (!quil::tool_available("fastboot"))
        return;
    std::string error;
    quil::ChildProcess child = start_child(spec, &error);
    if (!child) {
        QLOG_ERR("[%s:]popen reboot_fp failed!", __func__);
        return;
    }
    if (!quil::exited_ok(child.wait())) {
        std::printf("%s pclose reboot_fp error!\n", __func__);
        std::fflush(stdout);
    }
}

}  // namespace

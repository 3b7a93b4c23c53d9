// SPDX-License-Identifier: GPL-2.0-or-later
#include "edl_flash.h"

#include <glib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "dbus_service.h"
#include "edl_payload.h"
#include "edl_segments.h"
#include "edl_work_space.h"
#include "log.h"
#include "progress_dialog.h"

namespace {

constexpr const char *kQdlTool = "/opt/quillon/quil_helper_service/quil_helper_tools/qdl";
constexpr const char *kProgrammer = "prog_nand_firehose_9x55.mbn";
constexpr const char *kPartitionProgram = "rawprogram_nand_p2K_b128K.xml";
constexpr const char *kPatchFile = "patch_p2K_b128K.xml";

constexpr std::string_view kWaitingForDevice = "Waiting for EDL device";
constexpr std::string_view kImageWritten = "successfully";
constexpr std::string_view kNoDeviceLabel = "#don't match 9008 port,exit program\n";

// The pacing of the flash, so that the user can follow it in the dialog.
constexpr auto kBeforeDialog = std::chrono::seconds(1);
constexpr auto kAfterImage = std::chrono::seconds(1);
constexpr auto kAfterNoDevice = std::chrono::seconds(1);
constexpr auto kAfterResult = std::chrono::seconds(3);
// A tool waiting for a device that is not there is stopped: SIGTERM, SIGKILL this much
// later.
constexpr auto kStopGrace = std::chrono::milliseconds(1000);
// A tool that has ended its output gets this long to exit before it is stopped.
constexpr auto kExitGrace = std::chrono::seconds(10);

// The output of the tool is handled in pieces of at most 127 characters.
constexpr std::size_t kLineSize = 128;

// Set while a thread "edl_flash" works on the module.
std::atomic<bool> edl_flash_running{false};

// Ends the busy state when the flash is over, whichever way it ends.
struct EdlFlashRunning {
    EdlFlashRunning() = default;
    EdlFlashRunning(const EdlFlashRunning &) = delete;
    EdlFlashRunning &operator=(const EdlFlashRunning &) = delete;
    ~EdlFlashRunning() { edl_flash_running.store(false); }
};

// The argument of the thread, which owns it.
struct EdlFlashJob {
    std::string payload;
};

struct FileCloser {
    void operator()(FILE *fp) const noexcept { std::fclose(fp); }
};
using FileStream = std::unique_ptr<FILE, FileCloser>;

// The dialog of this flash; an empty one when it cannot be shown.
ProgressDialog open_dialog(const std::vector<std::string> &tool_argv) {
    XauthorityPath xauthority{};
    if (quillon_get_zenity_environment_variable(xauthority) != 0)
        QLOG_ERR("get zenity_environment_variable path error");
    QLOG_DEBUG("%s", quil::command_text(tool_argv).c_str());
    std::this_thread::sleep_for(kBeforeDialog);
    ProgressDialog dialog = quil_progress_dialog_open(
        std::string_view(xauthority.data(), strnlen(xauthority.data(), xauthority.size())), 0);
    if (!dialog)
        QLOG_DEBUG("[%s]: execute command failed!", __func__);
    return dialog;
}

enum class ToolEnd { output_ended, no_device };

// Follows the tool's output line by line, moving the dialog on for every image written.
ToolEnd follow_tool_output(FILE *output, ProgressDialog &dialog, int step, int *images) {
    int percentage = 0;
    std::array<char, kLineSize> line{};
    for (;;) {
        if (std::fgets(line.data(), static_cast<int>(line.size()), output) == nullptr) {
            if (std::ferror(output) && errno == EINTR) {
                std::clearerr(output);
                continue;
            }
            return ToolEnd::output_ended;
        }
        std::string_view text(line.data(), strnlen(line.data(), line.size()));
        QLOG_CRIT("read from qdl_fp == %s", line.data());
        if (text.find(kWaitingForDevice) != std::string_view::npos) {
            quil_progress_dialog_set_text(dialog, kNoDeviceLabel);
            quil_progress_dialog_flush(dialog);
            std::this_thread::sleep_for(kAfterNoDevice);
            return ToolEnd::no_device;
        }
        if (text.find(kImageWritten) != std::string_view::npos) {
            ++*images;
            percentage += step;
            quil_progress_dialog_set_percentage(dialog, percentage);
            emit_flash_progress_signal("edl", percentage);
            QLOG_DEBUG("buf =====  %s    progress_percentage === %d", line.data(), percentage);
            quil_progress_dialog_flush(dialog);
            std::this_thread::sleep_for(kAfterImage);
        }
    }
}

// Runs the flash of the payload; *result 1 when every counted image was written, 0
// otherwise.
void quillon_qdl_flash_command(std::string_view payload, uint32_t *result) {
    *result = 0;
    QdlPayload fields;
    if (qdl_payload_analysis(payload, &fields) != 0) {
        QLOG_CRIT("qdl_payload_analysis error");
        return;
    }
    const std::string work_space = QDL_WORK_SPACE;
    if (quillon_creat_qdl_work_space(QDL_PACKAGE_DIR, work_space, fields) != 0)
        return;

    const std::string partition_program = work_space + kPartitionProgram;
    const std::vector<std::string> tool_argv = {kQdlTool,
                                                "--storage",
                                                "nand",
                                                "--include",
                                                work_space,
                                                work_space + kProgrammer,
                                                partition_program,
                                                work_space + kPatchFile};

    // A file that cannot be parsed leaves the work space for the next flash to remove.
    int segments = 0;
    if (qdl_find_segments(partition_program.c_str(), &segments) != 0)
        return;
    const int step = segments > 0 ? 99 / segments : 0;

    ProgressDialog dialog = open_dialog(tool_argv);

    quil::ChildSpec spec;
    spec.argv = tool_argv;
    spec.output_pipe = true;
    std::string error;
    quil::ChildProcess tool = quil::ChildProcess::start(spec, &error);
    FileStream output;
    if (tool) {
        int fd = dup(tool.output_fd());
        output.reset(fd >= 0 ? fdopen(fd, "r") : nullptr);
        if (!output && fd >= 0)
            close(fd);
        tool.close_output();
    }
    if (!output) {
        QLOG_ERR("can't run %s: %s", kQdlTool, tool ? "its output can't be read" : error.c_str());
        tool.stop(kStopGrace);
        QLOG_CRIT("%s", work_space.c_str());
        qdl_rmdir(work_space.c_str());
        QLOG_DEBUG("[%s]: execute command failed!", __func__);
        // The dialog is not left behind: it goes with this flash.
        quil_progress_dialog_close(dialog);
        return;
    }
    QLOG_CRIT("qdl_flash_cmd run success");

    int images = 0;
    if (follow_tool_output(output.get(), dialog, step, &images) == ToolEnd::no_device) {
        // qdl would wait for the device for ever.
        output.reset();
        tool.stop(kStopGrace);
        QLOG_CRIT("%s", work_space.c_str());
        qdl_rmdir(work_space.c_str());
        quil_progress_dialog_close(dialog);
        return;
    }

    std::string_view label;
    if (images == segments) {
        QLOG_CRIT("qdl flash success");
        *result = 1;
        label = PROGRESS_LABEL_SUCCESS;
    } else {
        QLOG_CRIT("qdl flash fail");
        label = PROGRESS_LABEL_FAILED;
    }
    quil_progress_dialog_set_text(dialog, label);
    quil_progress_dialog_flush(dialog);
    std::this_thread::sleep_for(kAfterResult);

    QLOG_CRIT("%s", work_space.c_str());
    if (qdl_rmdir(work_space.c_str()) == 0)
        QLOG_CRIT("close qdl work space sueecss");
    else
        QLOG_CRIT("close qdl work space fail");
    output.reset();
    tool.wait_or_stop(kExitGrace);
    quil_progress_dialog_close(dialog);
}

// The body of the thread "edl_flash"; owns its job.
gpointer edl_flashing_command(gpointer data) {
    std::unique_ptr<EdlFlashJob> job(static_cast<EdlFlashJob *>(data));
    emit_edl_flash_status_signal("flashing...");
    uint32_t result = 0;
    {
        // A client told that the flash has ended may start the next one at once.
        EdlFlashRunning running;
        if (!job->payload.empty())
            QLOG_CRIT("[%s]: ", __func__);
        quillon_qdl_flash_command(job->payload, &result);
    }
    emit_edl_flash_status_signal(result == 1 ? "flash ok" : "flash fail");
    QLOG_ERR("[%s]:%s", __func__, job->payload.c_str());
    return nullptr;
}

}  // namespace

EdlFlashStart quil_edl_flash_start(std::string_view payload) {
    bool idle = false;
    if (!edl_flash_running.compare_exchange_strong(idle, true)) {
        QLOG_ERR("an EDL flash is under way, refuse request!");
        return EdlFlashStart::busy;
    }
    // The thread owns its job and is never joined; the job comes back here only when
    // the thread could not be started.
    auto job = std::make_unique<EdlFlashJob>(EdlFlashJob{std::string(payload)});
    EdlFlashJob *handed = job.release();
    GThread *thread = g_thread_try_new("edl_flash", edl_flashing_command, handed, nullptr);
    if (thread == nullptr) {
        job.reset(handed);
        edl_flash_running.store(false);
        QLOG_ERR("thread init failed!");
        return EdlFlashStart::failed;
    }
    g_thread_unref(thread);
    return EdlFlashStart::started;
}

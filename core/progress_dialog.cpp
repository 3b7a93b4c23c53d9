// SPDX-License-Identifier: GPL-2.0-or-later
#include "progress_dialog.h"

#include <glib.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "fd_guard.h"
#include "log.h"
#include "run_command.h"

namespace {

// How long a dialog whose input has ended may take to go away.
constexpr auto kDialogCloseGrace = std::chrono::seconds(3);

enum class SearchResult { found, nothing, not_started };

// Runs one fixed search (no shell: the arguments are ours) and keeps the first line it
// prints, cut to the buffer, as "| head -1" and a 64-byte read would.
SearchResult search_first_line(const char *dir, const char *pattern, XauthorityPath &path) {
    const char *argv[] = {"find", dir, "-name", pattern, nullptr};
    if (!quil::tool_available("find")) {
        errno = ENOENT;
        return SearchResult::not_started;
    }
    gchar *output = nullptr;
    GError *error = nullptr;
    auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL);
    quil::DescriptorCreation creating;  // the pipes and the child's start
    if (!g_spawn_sync(nullptr, const_cast<char **>(argv), nullptr, flags, nullptr, nullptr, &output,
                      nullptr, nullptr, &error)) {
        errno = error->domain == G_SPAWN_ERROR ? ENOENT : EIO;
        g_error_free(error);
        return SearchResult::not_started;
    }
    g_autofree gchar *owned = output;
    std::string_view text(owned != nullptr ? owned : "");
    std::size_t line_end = text.find('\n');
    if (line_end != std::string_view::npos)
        text = text.substr(0, line_end + 1);
    text = text.substr(0, path.size());
    path.fill('\0');
    std::memcpy(path.data(), text.data(), text.size());
    return text.empty() ? SearchResult::nothing : SearchResult::found;
}

// The path as the shell's "export XAUTHORITY=%s" line would have set it: without the
// line end that the search printed.
std::string_view without_line_end(std::string_view path) {
    std::size_t end = path.find('\n');
    return end == std::string_view::npos ? path : path.substr(0, end);
}

}  // namespace

int quillon_get_zenity_environment_variable(XauthorityPath &path) {
    path.fill('\0');
    switch (search_first_line("/run/user", ".mutter-Xwaylandauth*", path)) {
        case SearchResult::found:
            return 0;
        case SearchResult::not_started:
            std::perror("get_zenity_environment_variable error");
            QLOG_ERR("open zenity_environment_variable error");
            return -1;
        case SearchResult::nothing:
            break;
    }
    QLOG_ERR("read zenity_environment_variable error");
    switch (search_first_line("/run/user/", "Xauthority", path)) {
        case SearchResult::found:
            return 0;
        case SearchResult::not_started:
            std::perror("get_zenity_environment_variable_x11 error");
            QLOG_ERR("open get_zenity_environment_variable_x11 error");
            return -1;
        case SearchResult::nothing:
            break;
    }
    QLOG_ERR("read zenity_environment_variable_x11 error");
    return -1;
}

std::vector<std::string> quil_progress_dialog_environment(std::string_view xauthority) {
    return {"DISPLAY=:0", "XDG_CURRENT_DESKTOP=ubuntu:GNOME",
            "XAUTHORITY=" + std::string(without_line_end(xauthority))};
}

std::vector<std::string> quil_progress_dialog_argv(int percentage) {
    return {PROGRESS_DIALOG_TOOL,
            "--progress",
            std::string("--text=") + PROGRESS_DIALOG_INITIAL_LABEL,
            "--percentage=" + std::to_string(percentage),
            "--auto-close",
            "--no-cancel",
            "--width=600",
            std::string("--title=") + PROGRESS_DIALOG_TITLE};
}

std::string quil_progress_dialog_percentage_line(int percentage) {
    return std::to_string(percentage) + "\n";
}

std::optional<quil::ChildCredentials> quil_progress_dialog_owner(std::string_view xauthority) {
    std::string path(without_line_end(xauthority));
    struct stat st {};
    if (path.empty() || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid == 0)
        return std::nullopt;
    quil::ChildCredentials who{st.st_uid, st.st_gid, {}};
    // The owner's own groups when the system knows the owner; only the file's group
    // otherwise.
    std::array<char, 4096> buffer{};
    struct passwd entry {};
    struct passwd *found = nullptr;
    if (getpwuid_r(st.st_uid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
        int count = 64;
        std::vector<gid_t> groups(static_cast<std::size_t>(count));
        if (getgrouplist(found->pw_name, st.st_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            who.groups = std::move(groups);
        }
    }
    return who;
}

ProgressDialog quil_progress_dialog_open(std::string_view xauthority, int percentage) {
    std::optional<quil::ChildCredentials> owner = quil_progress_dialog_owner(xauthority);
    if (!owner) {
        QLOG_ERR("X authority file \"%.*s\" has no desktop user as its owner, no dialog!",
                 static_cast<int>(without_line_end(xauthority).size()),
                 without_line_end(xauthority).data());
        return {};
    }
    quil::ChildSpec spec;
    spec.argv = quil_progress_dialog_argv(percentage);
    spec.env = quil_progress_dialog_environment(xauthority);
    // A desktop program run as its user looks for its settings in that user's home.
    std::array<char, 4096> buffer{};
    struct passwd entry {};
    struct passwd *found = nullptr;
    if (getpwuid_r(owner->uid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
        spec.env.push_back(std::string("HOME=") + found->pw_dir);
        spec.env.push_back(std::string("USER=") + found->pw_name);
        spec.env.push_back(std::string("LOGNAME=") + found->pw_name);
    }
    spec.input_pipe = true;
    spec.credentials = std::move(owner);
    std::string error;
    quil::ChildProcess child = quil::ChildProcess::start(spec, &error);
    if (!child) {
        QLOG_ERR("can't start %s: %s", PROGRESS_DIALOG_TOOL, error.c_str());
        return {};
    }
    return ProgressDialog(std::move(child));
}

ProgressDialog::~ProgressDialog() {
    close();
}

void ProgressDialog::write(std::string_view line) {
    if (child_ && !gone_)
        pending_.append(line);
}

void ProgressDialog::flush() {
    if (!child_ || gone_ || pending_.empty())
        return;
    if (!quil::write_all(child_.input_fd(), pending_.data(), pending_.size())) {
        // Closed window, display gone, or auto-closed at 100: the flash goes on.
        QLOG_DEBUG("progress dialog has gone, further lines dropped");
        gone_ = true;
    }
    pending_.clear();
}

int ProgressDialog::close() {
    if (!child_)
        return -1;
    child_.close_input();
    pending_.clear();
    int status = child_.wait_or_stop(kDialogCloseGrace);
    child_ = quil::ChildProcess();
    return status;
}

void quil_progress_dialog_set_percentage(ProgressDialog &dialog, int percentage) {
    dialog.write(quil_progress_dialog_percentage_line(percentage));
}

void quil_progress_dialog_set_text(ProgressDialog &dialog, std::string_view line) {
    dialog.write(line);
}

void quil_progress_dialog_flush(ProgressDialog &dialog) {
    dialog.flush();
}

int quil_progress_dialog_close(ProgressDialog &dialog) {
    return dialog.close();
}

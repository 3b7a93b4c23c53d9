// SPDX-License-Identifier: GPL-2.0-or-later
// The desktop progress dialog shown while the module is flashed: zenity in progress
// mode on display :0, fed percentage and label lines through a pipe.
//
// The X authority file is a file name found under /run/user, which every desktop user
// controls: it is never handed to a shell, and the dialog runs as the user and group
// that own the file, never as root. Nothing the user does in the dialog reaches the
// flash, and a dialog that has gone away never disturbs it.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

inline constexpr std::size_t XAUTHORITY_PATH_SIZE = 64;
using XauthorityPath = std::array<char, XAUTHORITY_PATH_SIZE>;

inline constexpr const char *PROGRESS_DIALOG_TOOL = "/usr/bin/zenity";
inline constexpr const char *PROGRESS_DIALOG_TITLE = "ModemUpgrade";
// Each "\n" below is a backslash and an n, which the dialog turns into a line break.
inline constexpr const char *PROGRESS_DIALOG_INITIAL_LABEL =
    "<span font='13'>Downloading ...\\n\\n</span><span foreground='red' font='16'>Do not "
    "shut down or restart</span>";
inline constexpr std::string_view PROGRESS_LABEL_SUCCESS = "#The Modem upgrade Success!\\n\\n\n";
inline constexpr std::string_view PROGRESS_LABEL_FAILED = "#The Modem upgrade failed!\\n\\n\n";

// Fills `path` with the first line (at most 64 bytes, its line end kept) that the
// search for an Xwayland authority file under /run/user prints, else that of the
// search for an "Xauthority" file. 0 when one was found, -1 otherwise.
int quillon_get_zenity_environment_variable(XauthorityPath &path);

// The environment the dialog gets besides the daemon's own, in the order of its
// "export" lines: DISPLAY, XDG_CURRENT_DESKTOP, XAUTHORITY (the path without its line
// end).
std::vector<std::string> quil_progress_dialog_environment(std::string_view xauthority);
// The dialog's argument vector for the initial percentage.
std::vector<std::string> quil_progress_dialog_argv(int percentage);
// The percentage line: decimal digits and a newline.
std::string quil_progress_dialog_percentage_line(int percentage);

// Who may run the dialog for this X authority file: the owner of a regular file (not
// a symbolic link) that is not root, with the owner's groups. Empty otherwise.
std::optional<quil::ChildCredentials> quil_progress_dialog_owner(std::string_view xauthority);

// A running dialog, owned by the flash that opened it; closed when it goes away.
class ProgressDialog {
  public:
    ProgressDialog() = default;
    explicit ProgressDialog(quil::ChildProcess child) : child_(std::move(child)) {}
    ProgressDialog(ProgressDialog &&) = default;
    ProgressDialog &operator=(ProgressDialog &&) = default;
    ~ProgressDialog();

    explicit operator bool() const { return static_cast<bool>(child_); }

    void write(std::string_view line);
    void flush();
    // Ends the dialog's input and waits (a few seconds at most) for it to end; the wait
    // status, or -1 when there was no dialog.
    int close();

  private:
    quil::ChildProcess child_;
    std::string pending_;
    bool gone_ = false;  // the dialog stopped reading
};

// Starts the dialog as the owner of the X authority file with the initial
// percentage. No dialog (an empty object, one log line) when the file has no usable
// owner or the dialog cannot be started.
ProgressDialog quil_progress_dialog_open(std::string_view xauthority, int percentage);
void quil_progress_dialog_set_percentage(ProgressDialog &dialog, int percentage);
void quil_progress_dialog_set_text(ProgressDialog &dialog, std::string_view line);
void quil_progress_dialog_flush(ProgressDialog &dialog);
int quil_progress_dialog_close(ProgressDialog &dialog);

// SPDX-License-Identifier: GPL-2.0-or-later
// The EDL work space: a directory of the firmware package that is filled with the
// images of one flash, handed to qdl, and removed again.
#pragma once

#include <string>

#include "edl_payload.h"

inline constexpr const char *QDL_PACKAGE_DIR = "/opt/quillon/quil_fw_pkg/FwPackage/";
inline constexpr const char *QDL_WORK_SPACE = "/opt/quillon/quil_fw_pkg/FwPackage/Maincode/";

// Removes path and everything below it without following a symbolic link anywhere: a
// link (the path itself included) is removed, never what it points to. A path that
// does not exist counts as removed. 0, or -1 with Critical "rmdir %s error".
int qdl_rmdir(const char *path);

// Copies into the work space, in this order: the files of the AP and the modem image
// directories, of "basic_update_img" and of "download_agent" (each as "cp dir/* ws"
// would), then "rawprogram_nand_p2K_b128K.xml". 0, or -1 after the failed step's error
// line; the later steps do not run.
int copy_image(const std::string &package_dir, const QdlPayload &payload,
               const std::string &work_space);

// Removes a left-over work space, creates it anew (mode 0700: only root may write into
// it) and fills it with copy_image from the package directory. Both paths end with
// "/". 0, or -1 (logged; a work space whose copy failed is removed again).
int quillon_creat_qdl_work_space(const std::string &package_dir, const std::string &work_space,
                                 const QdlPayload &payload);

// SPDX-License-Identifier: GPL-2.0-or-later
#include "edl_work_space.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "heap_block.h"
#include "log.h"

namespace {

// Deeper trees are not removed: each level holds a directory open.
constexpr int kMaxRemoveDepth = 64;

constexpr const char *kRawprogramFile = "rawprogram_nand_p2K_b128K.xml";

struct DirCloser {
    void operator()(DIR *dir) const noexcept { closedir(dir); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

// The names in an open directory, "." and ".." left out; with_dot_files false also
// leaves out every other name that starts with "." (as the shell's "*" does). Takes
// over fd.
bool list_dir(int fd, bool with_dot_files, std::vector<std::string> *names) {
    DirStream dir(fdopendir(fd));
    if (!dir) {
        close(fd);
        return false;
    }
    errno = 0;
    while (struct dirent *entry = readdir(dir.get())) {
        std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        if (!with_dot_files && name.front() == '.')
            continue;
        names->emplace_back(name);
        errno = 0;
    }
    return errno == 0;
}

// Removes name in dirfd; a directory with its content, a symbolic link as the link.
bool remove_at(int dirfd, const std::string &name, int depth) {
    struct stat st {};
    if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT;
    if (depth >= kMaxRemoveDepth) {
        QLOG_ERR("%s is nested too deep to be removed", name.c_str());
        return false;
    }
    int fd = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Replaced by a link or a file since it was looked at: remove that instead.
        if (errno == ELOOP || errno == ENOTDIR)
            return unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT;
        return errno == ENOENT;
    }
    quil::UniqueFd dir(fd);
    std::vector<std::string> names;
    int list_fd = dup(dir.get());
    if (list_fd < 0 || !list_dir(list_fd, true, &names))
        return false;
    bool ok = true;
    for (const auto &entry : names)
        ok = remove_at(dir.get(), entry, depth + 1) && ok;
    if (!ok)
        return false;
    return unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

enum class CopyResult { copied, not_regular, failed };

// Copies the regular file name of src_dir (a symbolic link there is followed: the
// package is root's own) into a file of the same name created in dst_dir. A file of
// that name already in dst_dir came from an earlier step of the same copy and is
// replaced, as cp replaces it.
CopyResult copy_file_at(int src_dir, const std::string &name, int dst_dir) {
    int in_fd = openat(src_dir, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (in_fd < 0) {
        QLOG_ERR("can't open %s: %s", name.c_str(), std::strerror(errno));
        return CopyResult::failed;
    }
    quil::UniqueFd in(in_fd);
    struct stat st {};
    if (fstat(in.get(), &st) != 0) {
        QLOG_ERR("can't stat %s: %s", name.c_str(), std::strerror(errno));
        return CopyResult::failed;
    }
    if (!S_ISREG(st.st_mode)) {
        QLOG_ERR("%s is not a regular file, not copied", name.c_str());
        return CopyResult::not_regular;
    }
    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    mode_t mode = st.st_mode & 0777;
    int out_fd = openat(dst_dir, name.c_str(), kCreate, mode);
    if (out_fd < 0 && errno == EEXIST) {
        struct stat old {};
        if (fstatat(dst_dir, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(old.st_mode) && unlinkat(dst_dir, name.c_str(), 0) == 0)
            out_fd = openat(dst_dir, name.c_str(), kCreate, mode);
        else
            errno = EEXIST;
    }
    if (out_fd < 0) {
        QLOG_ERR("can't create %s in the work space: %s", name.c_str(), std::strerror(errno));
        return CopyResult::failed;
    }
    quil::UniqueFd out(out_fd);
    std::array<char, 16384> chunk{};
    for (;;) {
        ssize_t n = read(in.get(), chunk.data(), chunk.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            QLOG_ERR("can't read %s: %s", name.c_str(), std::strerror(errno));
            return CopyResult::failed;
        }
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(n)) {
            ssize_t w = write(out.get(), chunk.data() + done, static_cast<std::size_t>(n) - done);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                QLOG_ERR("can't write %s: %s", name.c_str(), std::strerror(errno));
                return CopyResult::failed;
            }
            done += static_cast<std::size_t>(w);
        }
    }
    return CopyResult::copied;
}

// "cp <dir>/* <work space>": every file of dir whose name does not start with "."
// (a directory or anything else that is not a regular file is left out and makes the
// step fail after the other files were copied; an empty or missing dir fails).
bool copy_dir_files(const std::string &dir, int work_space) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        QLOG_ERR("can't open %s: %s", dir.c_str(), std::strerror(errno));
        return false;
    }
    quil::UniqueFd src(fd);
    std::vector<std::string> names;
    int list_fd = dup(src.get());
    if (list_fd < 0 || !list_dir(list_fd, false, &names)) {
        QLOG_ERR("can't read %s: %s", dir.c_str(), std::strerror(errno));
        return false;
    }
    if (names.empty()) {
        QLOG_ERR("no file in %s", dir.c_str());
        return false;
    }
    std::sort(names.begin(), names.end());
    bool ok = true;
    for (const auto &name : names)
        ok = copy_file_at(src.get(), name, work_space) == CopyResult::copied && ok;
    return ok;
}

// "cp <dir><file> <work space>".
bool copy_one_file(const std::string &dir, const char *file, int work_space) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        QLOG_ERR("can't open %s: %s", dir.c_str(), std::strerror(errno));
        return false;
    }
    quil::UniqueFd src(fd);
    return copy_file_at(src.get(), file, work_space) == CopyResult::copied;
}

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

}  // namespace

int qdl_rmdir(const char *path) {
    const std::string target = without_trailing_slashes(path != nullptr ? path : "");
    std::string_view whole(target);
    std::size_t slash = whole.rfind('/');
    std::string_view parent_part = slash == std::string_view::npos ? std::string_view(".")
                                   : slash == 0                    ? std::string_view("/")
                                                                   : whole.substr(0, slash);
    const std::string parent(parent_part);
    const std::string name(slash == std::string_view::npos ? whole : whole.substr(slash + 1));
    bool ok = false;
    if (!name.empty() && name != "." && name != "..") {
        int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            quil::UniqueFd dir(fd);
            ok = remove_at(dir.get(), name, 0);
        } else {
            ok = errno == ENOENT;
        }
    }
    if (!ok) {
        QLOG_CRIT("rmdir %s error", path != nullptr ? path : "");
        return -1;
    }
    return 0;
}

int copy_image(const std::string &package_dir, const QdlPayload &payload,
               const std::string &work_space) {
    int fd = open(work_space.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        QLOG_ERR("can't open %s: %s", work_space.c_str(), std::strerror(errno));
        return -1;
    }
    quil::UniqueFd ws(fd);

    struct DirStep {
        std::string dir;
        const char *error;
        bool logged;
    };
    const std::array<DirStep, 4> dir_steps = {{
        {package_dir + payload.ap, "copy ap image error", false},
        {package_dir + payload.md, "copy md image error", true},
        {package_dir + "basic_update_img", "copy basic image error", true},
        {package_dir + "download_agent", "copy downagent error", false},
    }};
    for (const auto &step : dir_steps) {
        if (step.logged)
            QLOG_CRIT("cp %s/* %s", step.dir.c_str(), work_space.c_str());
        if (!copy_dir_files(step.dir, ws.get())) {
            QLOG_CRIT("%s", step.error);
            return -1;
        }
    }
    if (!copy_one_file(package_dir, kRawprogramFile, ws.get())) {
        QLOG_CRIT("copy %s error", kRawprogramFile);
        return -1;
    }
    return 0;
}

int quillon_creat_qdl_work_space(const std::string &package_dir, const std::string &work_space,
                                 const QdlPayload &payload) {
    struct stat st {};
    if (lstat(without_trailing_slashes(work_space).c_str(), &st) == 0) {
        QLOG_WARN("Directory exists.");
        qdl_rmdir(work_space.c_str());
    } else {
        QLOG_INFO("Directory does not exist.");
    }
    if (mkdir(work_space.c_str(), 0700) != 0) {
        QLOG_ERR("mkdir %s: %s", work_space.c_str(), std::strerror(errno));
        QLOG_CRIT("mkdir error");
        QLOG_CRIT("quillon_creat_qdl_work_space error");
        return -1;
    }
    if (copy_image(package_dir, payload, work_space) != 0) {
        QLOG_CRIT("copy_image error");
        QLOG_CRIT("%s", work_space.c_str());
        qdl_rmdir(work_space.c_str());
        QLOG_CRIT("quillon_creat_qdl_work_space error");
        return -1;
    }
    return 0;
}

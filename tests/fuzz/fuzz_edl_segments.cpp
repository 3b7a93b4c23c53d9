// SPDX-License-Identifier: GPL-2.0-or-later
// Counting the images of an EDL flash from the package's rawprogram XML: any file
// content goes through the same path-taking function the flash calls (the file is an
// in-memory one, reached by its /proc/self/fd path).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "edl_segments.h"
#include "fuzz_support.h"

using quil_fuzz::require;

namespace {
int xml_fd = -1;
std::string xml_path;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quil_fuzz::init_process();
    xml_fd = memfd_create("rawprogram0.xml", MFD_CLOEXEC);
    require(xml_fd >= 0, "memfd made");
    xml_path = "/proc/self/fd/" + std::to_string(xml_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    require(ftruncate(xml_fd, 0) == 0, "memfd emptied");
    require(pwrite(xml_fd, data, size, 0) == static_cast<ssize_t>(size), "memfd written");
    int count = -7;
    if (qdl_find_segments(xml_path.c_str(), &count) == 0)
        require(count >= 0, "a parsed file has a count of at least 0");
    else
        require(count == -7, "a file that cannot be parsed leaves the count");
    return 0;
}

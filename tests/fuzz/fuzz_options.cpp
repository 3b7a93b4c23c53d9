// SPDX-License-Identifier: GPL-2.0-or-later
// The daemons' command line: any arguments (the input split at NUL bytes, at most 16)
// go through the option parser, which never stops the daemon and leaves the log level
// on the syslog scale.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "log.h"

using quil_fuzz::require;

namespace {
constexpr std::size_t kMaxArguments = 16;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quil_fuzz::init_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::vector<std::string> storage = {"quil-helper-fuzz"};
    std::string_view rest = quil_fuzz::bytes_text(data, size);
    while (storage.size() <= kMaxArguments) {
        std::size_t end = rest.find('\0');
        storage.emplace_back(rest.substr(0, end));
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    std::vector<char *> argv;
    for (auto &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    g_debug_level = 6;
    log_set(static_cast<int>(storage.size()), argv.data());
    require(g_debug_level >= 0 && g_debug_level <= 7, "the log level stays in 0..7");
    g_debug_level = 7;
    return 0;
}

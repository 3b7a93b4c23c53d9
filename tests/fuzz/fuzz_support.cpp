// SPDX-License-Identifier: GPL-2.0-or-later
#include "fuzz_support.h"

#include <glib.h>
#include <sanitizer/common_interface_defs.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log.h"

// The daemons log through syslog(); a fuzzer would fill the journal. Every line is
// still formatted, so that the sanitizers see each argument read.
extern "C" void syslog(int, const char *format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
}

namespace quil_fuzz {

namespace {

char private_dir[] = "/tmp/quil-fuzz-XXXXXX";
bool have_queues = false;
bool private_ipc = false;

void remove_private_dir() {
    rmdir(private_dir);
}

}  // namespace

void init_process() {
    g_debug_level = 7;
    g_log_set_always_fatal(
        static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    if (mkdtemp(private_dir) == nullptr) {
        std::perror("quil-fuzz: private directory");
        std::abort();
    }
    std::atexit(remove_private_dir);
    // No tool can be found, so no target starts lsusb, find or fastboot.
    setenv("PATH", private_dir, 1);
    // The queues' keys come from the working directory. In an IPC namespace of its own
    // no other process can share them; otherwise the private directory keeps the keys
    // apart from those of any daemon (relative paths on the command line then no
    // longer work).
    if (unshare(CLONE_NEWIPC) == 0) {
        private_ipc = true;
    } else {
        std::perror("quil-fuzz: no IPC namespace of its own, responses not checked");
        if (chdir(private_dir) != 0) {
            std::perror("quil-fuzz: private directory");
            std::abort();
        }
    }
}

bool init_private_queues() {
    if (!private_ipc)
        return false;
    if (quil_adapter_helper_queue_init() != 0) {
        std::fputs("quil-fuzz: queues not made, responses not checked\n", stderr);
        return false;
    }
    have_queues = true;
    return true;
}

HelperMessage message_from_bytes(const uint8_t *data, std::size_t size, long mtype) {
    HelperMessage msg{};
    msg.mtype = mtype;
    std::memcpy(msg.body.data(), data, std::min(size, msg.body.size()));
    return msg;
}

std::optional<HelperMessage> take_response() {
    if (!have_queues)
        return std::nullopt;
    int id = quil_adapter_get_helper_seq_id(HELPER_QUEUE_TO_HELPERD);
    require(id != -1, "queue 1 stays while the target runs");
    HelperMessage msg{};
    if (msgrcv(id, &msg, HELPER_BODY_SIZE, HELPER_MSG_NORMAL, IPC_NOWAIT | MSG_NOERROR) < 0)
        return std::nullopt;
    return msg;
}

void fail(const char *rule) {
    // Standard error may be closed (-close_fd_mask); the sanitizers' report goes on.
    std::string summary = std::string("quil-fuzz: rule broken: ") + rule;
    __sanitizer_report_error_summary(summary.c_str());
    std::abort();
}

}  // namespace quil_fuzz

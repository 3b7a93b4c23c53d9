// SPDX-License-Identifier: GPL-2.0-or-later
#include "log.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int g_debug_level = 6;

const char quil_usage_text[] =
    " -v                     --force                      print  version\n"
    " -d <debug level:xx>    --debug <debug:num>          LOG Debug\n"
    " -l <id:file path>      --Level <Level:string>       Level for bin\n"
    "\n"
    "Example: \n"
    "./quil_flash -v -d -l 7\n";

static_assert(sizeof(quil_usage_text) - 1 == 233, "usage text is 233 bytes");

void quil_log_open(const char *identity) {
    openlog(identity, LOG_CONS | LOG_PID, LOG_USER);
}

namespace {

void apply_log_level(const char *arg) {
    // "--loglevel" without "=value" supplies no text: it is reported like any other
    // invalid value and the level stays.
    const char *text = arg != nullptr ? arg : "";
    long value = -1;
    if (arg != nullptr) {
        char *end = nullptr;
        errno = 0;
        value = std::strtol(arg, &end, 10);
        if (errno != 0)
            value = -1;
    }
    if (arg != nullptr && value >= 0 && value <= 7) {
        g_debug_level = static_cast<int>(value);
    } else {
        QLOG_ERR("log level is invalue :%s", text);
    }
    QLOG_ERR("log level is :%s,g_debug_level: %d", text, g_debug_level);
}

}  // namespace

void log_set(int argc, char **argv) {
    static const struct option long_options[] = {
        {"version", no_argument, nullptr, 'v'},
        {"debug", required_argument, nullptr, 'd'},
        {"loglevel", optional_argument, nullptr, 'l'},
        {nullptr, 0, nullptr, 0},
    };

    optind = 1;
    for (;;) {
        int c = getopt_long(argc, argv, "vdl:", long_options, nullptr);
        if (c == -1)
            break;
        switch (c) {
            case 'v':
                QLOG_ERR("quil_helper_service version:%s", QUIL_HELPER_VERSION);
                break;
            case 'd':
                QLOG_ERR("option d,%s", optarg != nullptr ? optarg : "(null)");
                g_debug_level = 7;
                break;
            case 'l':
                apply_log_level(optarg);
                break;
            case '?':
                std::fprintf(stderr, "%s -v -d -l <Level> ...\n", program_invocation_short_name);
                std::fputs(quil_usage_text, stderr);
                break;
            default:
                break;
        }
    }
}

std::string quil_printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
            out.append(escaped);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

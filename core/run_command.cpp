// SPDX-License-Identifier: GPL-2.0-or-later
#include "run_command.h"

#include <glib.h>

#include "fd_guard.h"
#include "log.h"

namespace quil {

bool tool_available(std::string_view name) {
    std::string program(name);
    g_autofree gchar *found = g_find_program_in_path(program.c_str());
    if (found != nullptr)
        return true;
    // Every name is reported once per process; a tool installed later is found again.
    // The set lives as long as the process: detached threads may still ask while the
    // process exits, after the destructors of statics have run.
    static GMutex reported_mutex;
    static GHashTable *reported = nullptr;
    g_mutex_lock(&reported_mutex);
    if (reported == nullptr)
        reported = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr);
    bool first = g_hash_table_add(reported, g_strdup(program.c_str())) != FALSE;
    g_mutex_unlock(&reported_mutex);
    if (first)
        QLOG_ERR("tool %s not found, install it", quil_printable(program).c_str());
    return false;
}

int run_argv(const std::vector<std::string> &argv, std::string *out) {
    if (argv.empty() || !tool_available(argv[0]))
        return -1;
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const auto &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);

    gchar *standard_output = nullptr;
    gint status = -1;
    GError *error = nullptr;
    auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH |
                                          (out == nullptr ? G_SPAWN_STDOUT_TO_DEV_NULL : 0));
    DescriptorCreation creating;  // the pipes and the child's start
    gboolean started =
        g_spawn_sync(nullptr, args.data(), nullptr, flags, nullptr, nullptr,
                     out != nullptr ? &standard_output : nullptr, nullptr, &status, &error);
    if (!started) {
        QLOG_ERR("can't start %s: %s", argv[0].c_str(), error != nullptr ? error->message : "");
        g_clear_error(&error);
        return -1;
    }
    if (out != nullptr) {
        out->assign(standard_output != nullptr ? standard_output : "");
        g_free(standard_output);
    }
    return status;
}

}  // namespace quil

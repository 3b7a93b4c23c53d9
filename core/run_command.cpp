#include "run_command.h"

#include <glib.h>

#include "log.h"

namespace quil {

int run_argv(const std::vector<std::string> &argv, std::string *out) {
    if (argv.empty())
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

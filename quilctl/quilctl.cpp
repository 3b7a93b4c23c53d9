// SPDX-License-Identifier: GPL-2.0-or-later
// quilctl: the command-line client of com.quillon.helper, for people and scripts.
//
//   quilctl [--json] [--serviceid N] [--timeout SECONDS] COMMAND [VALUE]
#include <glib.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_names.h"
#include "flash_request.h"
#include "follow.h"
#include "helper_client.h"
#include "helper_queue.h"
#include "output.h"

namespace quilctl {

namespace {

// A little more than the longest wait of the D-Bus helper (15 s for a fastboot flash
// request, 6 s for the others).
constexpr int kDefaultTimeoutSeconds = 25;

constexpr const char *kUsage =
    "Usage: quilctl [--json] [--serviceid N] [--timeout SECONDS] COMMAND [VALUE]\n"
    "\n"
    "Talks to the quil-helper daemons through com.quillon.helper on the system bus.\n"
    "\n"
    "Commands:\n"
    "  NAME [VALUE]         one request of the command table (see quilctl list)\n"
    "  raw CID [PAYLOAD]    any request by its command id (0x... or decimal)\n"
    "  list [--names]       the command table (--names: the command words only)\n"
    "  flash fastboot [--path DIR/] [--ap A] [--modem M] [--dev D] [--oem O] [--op P]\n"
    "  flash edl --ap A --modem M\n"
    "                       start a firmware flash and follow it to its end\n"
    "  monitor              print every signal of the helper until interrupted\n"
    "  help [COMMAND]       this text, or the help of one command\n"
    "\n"
    "Options:\n"
    "  --json               one JSON object per line for every reply and signal\n"
    "  --serviceid N        service id of the requests (default 1)\n"
    "  --timeout SECONDS    how long a request may take (default 25)\n"
    "\n"
    "Exit status: 0 success, 1 the request or the flash failed, 2 usage error,\n"
    "3 com.quillon.helper is not on the system bus.\n";

constexpr const char *kRawHelp =
    "Usage: quilctl raw CID [PAYLOAD]\n"
    "Sends one request by its command id, hexadecimal with 0x or decimal, with the\n"
    "payload as given (none: an empty payload).\n";
constexpr const char *kListHelp =
    "Usage: quilctl list [--names]\n"
    "The command table: name, cid, kind (query, set, local, flash), payload rule and\n"
    "what the command does. --names prints every command word, one per line.\n";
constexpr const char *kMonitorHelp =
    "Usage: quilctl monitor\n"
    "Prints every signal of com.quillon.helper, one line each with its local time\n"
    "(ISO 8601, milliseconds), until SIGINT or SIGTERM.\n";
constexpr const char *kFlashHelp =
    "Usage: quilctl flash fastboot [--path DIR/] [--ap A] [--modem M] [--dev D] [--oem O]\n"
    "                              [--op P]\n"
    "       quilctl flash edl --ap A --modem M\n"
    "Starts a firmware flash (fastboot: request 0x100a, payload\n"
    "\"path:DIR/;ap:A;md:M;dev:D;oem:O;op:P\" with the options given; edl: request 0x2004,\n"
    "payload \"ap:A;md:M\", only while the module is in download mode) and follows its\n"
    "progress to the final status. Exit status 0 only on \"fastboot flash ok\" or\n"
    "\"flash ok\".\n";
constexpr const char *kHelpHelp = "Usage: quilctl help [COMMAND]\n";

struct GlobalOptions {
    gboolean json = FALSE;
    gint serviceid = 1;
    gint timeout = kDefaultTimeoutSeconds;
    gboolean help = FALSE;
};

struct OptionContextFree {
    void operator()(GOptionContext *context) const { g_option_context_free(context); }
};
using OptionContext = std::unique_ptr<GOptionContext, OptionContextFree>;

Exit usage_error(std::string_view message) {
    return fail(Exit::usage, std::string(message) + " (quilctl --help for the usage)");
}

void print_text(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void print_command_help(const quil::CommandName &row) {
    std::string name(row.name);
    std::string description(row.description);
    const char *value = row.payload == quil::PayloadRule::required   ? " VALUE"
                        : row.payload == quil::PayloadRule::optional ? " [VALUE]"
                                                                     : "";
    std::printf("Usage: quilctl %s%s\n%s\ncid 0x%04x, kind %s, payload %s\n", name.c_str(), value,
                description.c_str(), static_cast<unsigned>(row.cid),
                std::string(quil::command_kind_text(row.kind)).c_str(),
                std::string(quil::payload_rule_text(row.payload)).c_str());
    std::fflush(stdout);
}

// The help of a command word; false when there is no such command.
bool print_help_of(std::string_view word) {
    if (word == "raw")
        print_text(kRawHelp);
    else if (word == "list")
        print_text(kListHelp);
    else if (word == "monitor")
        print_text(kMonitorHelp);
    else if (word == "flash")
        print_text(kFlashHelp);
    else if (word == "help")
        print_text(kHelpHelp);
    else if (const quil::CommandName *row = quil::find_command_name(word))
        print_command_help(*row);
    else
        return false;
    return true;
}

Exit unknown_command(std::string_view word) {
    return fail(Exit::usage,
                "unknown command '" + std::string(word) + "' (quilctl list shows the commands)");
}

// A payload as it can go into a request: UTF-8 (a D-Bus string) that fits a message.
std::optional<Exit> payload_refused(std::string_view payload) {
    if (!g_utf8_validate(payload.data(), static_cast<gssize>(payload.size()), nullptr))
        return usage_error("the value is not valid UTF-8");
    if (payload.size() > static_cast<std::size_t>(HELPER_MAX_PAYLOAD))
        return usage_error("the value is longer than " + std::to_string(HELPER_MAX_PAYLOAD) +
                           " bytes");
    return std::nullopt;
}

std::optional<int32_t> parse_cid(std::string_view text) {
    std::string digits(text);
    guint base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.erase(0, 2);
        base = 16;
    }
    gint64 value = 0;
    if (!g_ascii_string_to_signed(digits.c_str(), base, std::numeric_limits<int32_t>::min(),
                                  std::numeric_limits<int32_t>::max(), &value, nullptr))
        return std::nullopt;
    return static_cast<int32_t>(value);
}

class Session {
  public:
    explicit Session(const GlobalOptions &global) {
        options_.json = global.json != FALSE;
        options_.serviceid = global.serviceid;
        options_.timeout_ms = global.timeout * 1000;
    }

    // Sends one request and prints its reply.
    Exit request(int32_t cid, std::string_view label, std::string_view payload) {
        if (!connect())
            return Exit::absent;
        Reply reply;
        std::string error;
        Exit sent =
            client_->send(options_.serviceid, cid, payload, options_.timeout_ms, &reply, &error);
        if (sent != Exit::ok)
            return fail(sent, std::string(label) + " failed: " + error);
        return print_reply(reply, label, options_.json);
    }

    Exit flash(int32_t cid, std::string_view label, std::string_view payload) {
        if (!connect())
            return Exit::absent;
        return run_flash(*client_, options_, cid, label, payload);
    }

    Exit monitor() {
        if (!connect())
            return Exit::absent;
        return run_monitor(*client_, options_.json);
    }

  private:
    bool connect() {
        std::string error;
        client_ = HelperClient::connect(&error);
        if (!client_)
            fail(Exit::absent, error);
        return client_ != nullptr;
    }

    CallOptions options_;
    std::unique_ptr<HelperClient> client_;
};

Exit run_named(Session &session, const quil::CommandName &row,
               const std::vector<std::string> &args) {
    std::string name(row.name);
    if (args.size() > 2)
        return usage_error(name + " takes at most one value");
    bool has_value = args.size() == 2;
    if (row.payload == quil::PayloadRule::none && has_value)
        return usage_error(name + " takes no value");
    if (row.payload == quil::PayloadRule::required && (!has_value || args[1].empty()))
        return usage_error(name + " needs a value");
    std::string payload = has_value ? args[1] : std::string();
    if (auto refused = payload_refused(payload))
        return *refused;
    if (row.kind == quil::CommandKind::flash)
        return session.flash(row.cid, name, payload);
    return session.request(row.cid, name, payload);
}

Exit run_raw(Session &session, const std::vector<std::string> &args) {
    if (args.size() < 2 || args.size() > 3)
        return usage_error("raw takes a CID and at most one payload");
    std::optional<int32_t> cid = parse_cid(args[1]);
    if (!cid)
        return usage_error("raw: '" + args[1] + "' is no command id (0x... or decimal)");
    std::string payload = args.size() == 3 ? args[2] : std::string();
    if (auto refused = payload_refused(payload))
        return *refused;
    g_autofree gchar *label = g_strdup_printf("0x%04x", static_cast<unsigned>(*cid));
    return session.request(*cid, label, payload);
}

struct FlashOptions {
    gchar *path = nullptr;
    gchar *ap = nullptr;
    gchar *modem = nullptr;
    gchar *dev = nullptr;
    gchar *oem = nullptr;
    gchar *op = nullptr;
    gboolean help = FALSE;
    FlashOptions() = default;
    FlashOptions(const FlashOptions &) = delete;
    FlashOptions &operator=(const FlashOptions &) = delete;
    ~FlashOptions() {
        for (gchar *text : {path, ap, modem, dev, oem, op})
            g_free(text);
    }
};

std::string text_of(const gchar *text) {
    return text != nullptr ? text : "";
}

Exit run_flash_command(Session &session, const std::vector<std::string> &args) {
    FlashOptions flash;
    GOptionEntry entries[] = {
        {"path", 0, 0, G_OPTION_ARG_STRING, &flash.path, "package directory", "DIR/"},
        {"ap", 0, 0, G_OPTION_ARG_STRING, &flash.ap, "AP image directory", "A"},
        {"modem", 0, 0, G_OPTION_ARG_STRING, &flash.modem, "modem image directory", "M"},
        {"dev", 0, 0, G_OPTION_ARG_STRING, &flash.dev, "device pack version", "D"},
        {"oem", 0, 0, G_OPTION_ARG_STRING, &flash.oem, "OEM pack version", "O"},
        {"op", 0, 0, G_OPTION_ARG_STRING, &flash.op, "operator pack version", "P"},
        {"help", 'h', 0, G_OPTION_ARG_NONE, &flash.help, "help", nullptr},
        {},
    };
    OptionContext context(g_option_context_new(nullptr));
    g_option_context_set_help_enabled(context.get(), FALSE);
    g_option_context_add_main_entries(context.get(), entries, nullptr);
    g_auto(GStrv) argv = g_new0(gchar *, args.size() + 2);
    argv[0] = g_strdup("quilctl");
    for (std::size_t i = 0; i < args.size(); ++i)
        argv[i + 1] = g_strdup(args[i].c_str());
    g_autoptr(GError) error = nullptr;
    if (!g_option_context_parse_strv(context.get(), &argv, &error))
        return usage_error(std::string("flash: ") + error->message);
    if (flash.help) {
        print_text(kFlashHelp);
        return Exit::ok;
    }
    // argv: quilctl flash KIND
    guint rest = g_strv_length(argv);
    if (rest < 3)
        return usage_error("flash needs its kind: fastboot or edl");
    if (rest > 3)
        return usage_error(std::string("flash: unexpected argument '") + argv[3] + "'");
    std::string kind = argv[2];
    std::string problem;
    if (kind == "fastboot") {
        FastbootFields fields{text_of(flash.path), text_of(flash.ap),  text_of(flash.modem),
                              text_of(flash.dev),  text_of(flash.oem), text_of(flash.op)};
        if (flash.path != nullptr && !fields.path.empty() && !g_path_is_absolute(flash.path)) {
            g_autofree gchar *absolute = g_canonicalize_filename(flash.path, nullptr);
            fields.path = absolute;
        }
        std::optional<std::string> payload = fastboot_payload(fields, &problem);
        if (!payload)
            return usage_error("flash fastboot: " + problem);
        return session.flash(0x100a, "flash fastboot", *payload);
    }
    if (kind == "edl") {
        if (flash.path != nullptr || flash.dev != nullptr || flash.oem != nullptr ||
            flash.op != nullptr)
            return usage_error("flash edl takes only --ap and --modem");
        std::optional<std::string> payload =
            edl_payload(text_of(flash.ap), text_of(flash.modem), &problem);
        if (!payload)
            return usage_error("flash edl: " + problem);
        return session.flash(0x2004, "flash edl", *payload);
    }
    return usage_error("flash: unknown kind '" + kind + "' (fastboot or edl)");
}

Exit run(char **argv) {
    GlobalOptions global;
    GOptionEntry entries[] = {
        {"json", 'j', 0, G_OPTION_ARG_NONE, &global.json, "JSON output", nullptr},
        {"serviceid", 0, 0, G_OPTION_ARG_INT, &global.serviceid, "service id", "N"},
        {"timeout", 0, 0, G_OPTION_ARG_INT, &global.timeout, "call timeout", "SECONDS"},
        {"help", 'h', 0, G_OPTION_ARG_NONE, &global.help, "help", nullptr},
        {},
    };
    OptionContext context(g_option_context_new(nullptr));
    // The global options may stand anywhere; the rest (a command's options, values
    // that start with "-") is left to the command.
    g_option_context_set_help_enabled(context.get(), FALSE);
    g_option_context_set_ignore_unknown_options(context.get(), TRUE);
    g_option_context_add_main_entries(context.get(), entries, nullptr);
    g_auto(GStrv) args_strv = g_strdupv(argv);
    g_autoptr(GError) error = nullptr;
    if (!g_option_context_parse_strv(context.get(), &args_strv, &error))
        return usage_error(error->message);
    if (global.timeout <= 0 || global.timeout > 24 * 3600)
        return usage_error("--timeout needs a number of seconds from 1 to 86400");

    // What is left: the command, its values and its own options. After "--" every
    // word is a value, even one that looks like an option.
    std::vector<std::string> args;
    std::string stray_option;
    bool literal = false;
    for (gchar **arg = args_strv + 1; *arg != nullptr; ++arg) {
        std::string_view token = *arg;
        if (!literal && token == "--") {
            literal = true;
            continue;
        }
        if (!literal && stray_option.empty() && token.size() > 2 && token.starts_with("--"))
            stray_option = token;
        args.emplace_back(token);
    }
    if (args.empty()) {
        if (global.help) {
            print_text(kUsage);
            return Exit::ok;
        }
        return usage_error("no command given");
    }
    const std::string &word = args[0];
    if (word == "help") {
        if (args.size() == 1) {
            print_text(kUsage);
            return Exit::ok;
        }
        if (args.size() > 2)
            return usage_error("help takes one command");
        return print_help_of(args[1]) ? Exit::ok : unknown_command(args[1]);
    }
    if (global.help && word != "flash")
        return print_help_of(word) ? Exit::ok : unknown_command(word);

    // Only flash has options of its own (and list its --names).
    if (!stray_option.empty() && word != "flash" && !(word == "list" && stray_option == "--names"))
        return usage_error("unknown option " + stray_option);

    Session session(global);
    if (word == "list") {
        bool names_only = args.size() == 2 && args[1] == "--names";
        if (args.size() > 2 || (args.size() == 2 && !names_only))
            return usage_error("list takes only --names");
        print_command_list(global.json != FALSE, names_only);
        return Exit::ok;
    }
    if (word == "raw")
        return run_raw(session, args);
    if (word == "monitor") {
        if (args.size() > 1)
            return usage_error("monitor takes no argument");
        return session.monitor();
    }
    if (word == "flash") {
        if (global.help) {
            print_text(kFlashHelp);
            return Exit::ok;
        }
        return run_flash_command(session, args);
    }
    if (const quil::CommandName *row = quil::find_command_name(word))
        return run_named(session, *row, args);
    return unknown_command(word);
}

}  // namespace

}  // namespace quilctl

int main(int, char **argv) {
    return static_cast<int>(quilctl::run(argv));
}

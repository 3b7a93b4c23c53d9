// SPDX-License-Identifier: GPL-2.0-or-later
#include "follow.h"

#include <glib-unix.h>
#include <signal.h>

#include <optional>
#include <string>

#include "output.h"

namespace quilctl {

namespace {

// How long a flash may stay silent before quilctl stops following it.
constexpr unsigned kQuietLimitSeconds = 30 * 60;

struct FlashTexts {
    int32_t cid;
    const char *kind;           // the flashProgress kind
    const char *status_signal;  // the GObject signal of the status texts
    std::string_view ok;
    std::string_view fail;
};

constexpr FlashTexts kFastboot = {0x100a, "fastboot", "fastboot-status", "fastboot flash ok",
                                  "fastboot flash fail"};
constexpr FlashTexts kEdl = {0x2004, "edl", "edl-status", "flash ok", "flash fail"};

struct MainLoopUnref {
    void operator()(GMainLoop *loop) const { g_main_loop_unref(loop); }
};

// A GLib source that is removed when its owner goes.
class Source {
  public:
    Source() = default;
    ~Source() { reset(); }
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;
    void reset(guint id = 0) {
        if (id_ != 0)
            g_source_remove(id_);
        id_ = id;
    }
    // The source ended itself (its callback returned G_SOURCE_REMOVE).
    void forget() { id_ = 0; }

  private:
    guint id_ = 0;
};

// A GObject signal handler that is disconnected when its owner goes.
class Handler {
  public:
    Handler(gpointer instance, const char *signal, GCallback callback, gpointer data)
        : instance_(instance), id_(g_signal_connect(instance, signal, callback, data)) {}
    ~Handler() { g_signal_handler_disconnect(instance_, id_); }
    Handler(const Handler &) = delete;
    Handler &operator=(const Handler &) = delete;

  private:
    gpointer instance_;
    gulong id_;
};

struct Follow {
    const FlashTexts &texts;
    ProgressView view;
    std::unique_ptr<GMainLoop, MainLoopUnref> loop{g_main_loop_new(nullptr, FALSE)};
    Source quiet;
    std::optional<Exit> result;
    std::string why;

    Follow(const FlashTexts &t, bool json) : texts(t), view(json, t.kind) {}

    void end(Exit status, std::string message = {}) {
        if (result)
            return;
        result = status;
        why = std::move(message);
        g_main_loop_quit(loop.get());
    }
    void heard() { quiet.reset(g_timeout_add_seconds(kQuietLimitSeconds, on_quiet, this)); }

    static gboolean on_quiet(gpointer data) {
        auto *self = static_cast<Follow *>(data);
        self->quiet.forget();
        self->end(Exit::failed, "no word from the flash for " +
                                    std::to_string(kQuietLimitSeconds / 60) + " minutes");
        return G_SOURCE_REMOVE;
    }
    static void on_progress(QuillonGdbusHelper *, const gchar *kind, gint percent, gpointer data) {
        auto *self = static_cast<Follow *>(data);
        if (self->result || g_strcmp0(kind, self->texts.kind) != 0)
            return;
        self->heard();
        self->view.progress(percent);
    }
    static void on_status(QuillonGdbusHelper *, const gchar *status, gpointer data) {
        auto *self = static_cast<Follow *>(data);
        if (self->result || status == nullptr)
            return;
        self->heard();
        self->view.status(status);
        if (self->texts.ok == status)
            self->end(Exit::ok);
        else if (self->texts.fail == status)
            self->end(Exit::failed, "the flash failed");
    }
    static void on_owner(GObject *proxy, GParamSpec *, gpointer data) {
        g_autofree gchar *owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(proxy));
        if (owner == nullptr)
            static_cast<Follow *>(data)->end(Exit::failed, "the helper left the bus");
    }
    static gboolean on_interrupt(gpointer data) {
        static_cast<Follow *>(data)->end(Exit::failed, "stopped following; the flash goes on");
        return G_SOURCE_CONTINUE;
    }
};

}  // namespace

Exit run_flash(const HelperClient &client, const CallOptions &options, int32_t cid,
               std::string_view label, std::string_view payload) {
    const FlashTexts &texts = cid == kEdl.cid ? kEdl : kFastboot;
    Follow follow(texts, options.json);
    QuillonGdbusHelper *proxy = client.proxy();
    Handler progress(proxy, "flash-progress", G_CALLBACK(Follow::on_progress), &follow);
    Handler status(proxy, texts.status_signal, G_CALLBACK(Follow::on_status), &follow);
    Handler owner(proxy, "notify::g-name-owner", G_CALLBACK(Follow::on_owner), &follow);
    Source sigint, sigterm;
    sigint.reset(g_unix_signal_add(SIGINT, Follow::on_interrupt, &follow));
    sigterm.reset(g_unix_signal_add(SIGTERM, Follow::on_interrupt, &follow));

    Reply reply;
    std::string error;
    Exit sent = client.send(options.serviceid, cid, payload, options.timeout_ms, &reply, &error);
    if (sent != Exit::ok)
        return fail(sent, std::string(label) + " failed: " + error);
    // The answer that the flash was started; its progress says the rest.
    if (options.json || reply.rtcode != 0) {
        Exit answered = print_reply(reply, label, options.json);
        if (answered != Exit::ok)
            return answered;
    }

    follow.heard();
    if (!follow.result)
        g_main_loop_run(follow.loop.get());
    if (*follow.result != Exit::ok)
        return fail(*follow.result, std::string(label) + ": " + follow.why);
    return Exit::ok;
}

namespace {

void on_any_signal(GDBusProxy *, const gchar *, const gchar *member, GVariant *parameters,
                   gpointer data) {
    print_signal(member, parameters, *static_cast<bool *>(data));
}

gboolean on_stop(gpointer data) {
    g_main_loop_quit(static_cast<GMainLoop *>(data));
    return G_SOURCE_CONTINUE;
}

}  // namespace

Exit run_monitor(const HelperClient &client, bool json) {
    std::unique_ptr<GMainLoop, MainLoopUnref> loop(g_main_loop_new(nullptr, FALSE));
    Handler any(client.gproxy(), "g-signal", G_CALLBACK(on_any_signal), &json);
    Source sigint, sigterm;
    sigint.reset(g_unix_signal_add(SIGINT, on_stop, loop.get()));
    sigterm.reset(g_unix_signal_add(SIGTERM, on_stop, loop.get()));
    // The proxy's match rule is in place: the bus answered its name-owner query, which
    // went out after it.
    std::fprintf(stderr, "quilctl: monitoring %s%s\n", HELPER_NAME,
                 client.has_owner() ? "" : " (not on the bus yet)");
    g_main_loop_run(loop.get());
    return Exit::ok;
}

}  // namespace quilctl

// SPDX-License-Identifier: GPL-2.0-or-later
#include "authorization.h"

#include <polkit/polkit.h>

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log.h"

namespace {

struct CidClass {
    int32_t cid;
    AuthClass auth_class;
};

// Read-only queries and the flashing commands. Every command id that is not listed
// here (set commands, the slot switch, 0x0100, 0x2003, rows that only answer "ERROR",
// unknown ids) is `configure`.
constexpr auto cid_classes = std::to_array<CidClass>({
    // versions, IMEI, home network, USB ids, port state, ATI7
    {0x1001, AuthClass::query},
    {0x1002, AuthClass::query},
    {0x1003, AuthClass::query},
    {0x1004, AuthClass::query},
    {0x1005, AuthClass::query},
    {0x1006, AuthClass::query},
    {0x1007, AuthClass::query},
    {0x1008, AuthClass::query},
    {0x2001, AuthClass::query},
    {0x2002, AuthClass::query},
    {0x3004, AuthClass::query},
    // SAR, antenna, flight mode, GPS and eSIM state; registered network; slot in use
    {0x4002, AuthClass::query},
    {0x4004, AuthClass::query},
    {0x4008, AuthClass::query},
    {0x4012, AuthClass::query},
    {0x4015, AuthClass::query},
    {0x4016, AuthClass::query},
    {0x401b, AuthClass::query},
    {0x4021, AuthClass::query},
    {0x4023, AuthClass::query},
    {0x4024, AuthClass::query},
    {0x4026, AuthClass::query},
    {0x4027, AuthClass::query},
    // fastboot flash (reboot into the bootloader), EDL flash
    {0x100a, AuthClass::flash},
    {0x2004, AuthClass::flash},
});

constexpr guint CHECK_TIMEOUT_S = 30;
// How long a plain "yes" is reused for the same caller and action.
constexpr auto REUSE_FOR = std::chrono::seconds(5);

using Clock = std::chrono::steady_clock;

// One sendMesg waiting for its decision; owns its reference to the invocation.
struct Pending {
    GDBusMethodInvocation *invocation;
    int32_t cid;
    AuthClass auth_class;
    std::function<void()> allowed;
    std::string sender;
    bool interactive = false;
    GCancellable *cancellable = nullptr;
    guint timeout_source = 0;
    bool timed_out = false;

    Pending(GDBusMethodInvocation *inv, int32_t c, std::function<void()> f)
        : invocation(static_cast<GDBusMethodInvocation *>(g_object_ref(inv))),
          cid(c),
          auth_class(quil_command_auth_class(c)),
          allowed(std::move(f)) {
        const char *s = g_dbus_method_invocation_get_sender(inv);
        sender = s != nullptr ? s : "";
        GDBusMessage *message = g_dbus_method_invocation_get_message(inv);
        interactive = (g_dbus_message_get_flags(message) &
                       G_DBUS_MESSAGE_FLAGS_ALLOW_INTERACTIVE_AUTHORIZATION) != 0;
    }
    ~Pending() {
        if (timeout_source != 0)
            g_source_remove(timeout_source);
        if (cancellable != nullptr)
            g_object_unref(cancellable);
        g_object_unref(invocation);
    }
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;
};

// The authority, fetched on the first request (and again after a failed fetch);
// requests that come while it is being fetched wait here.
struct AuthorityState {
    PolkitAuthority *authority = nullptr;
    bool fetching = false;
    std::string failure;
    std::vector<std::unique_ptr<Pending>> waiting;
};

// Plain "yes" answers: (unique bus name, class) -> reusable until.
struct ReuseCache {
    std::map<std::pair<std::string, AuthClass>, Clock::time_point> entries;
    GDBusConnection *watched = nullptr;
};

AuthorityState &authority_state() {
    static AuthorityState state;
    return state;
}

ReuseCache &reuse_cache() {
    static ReuseCache cache;
    return cache;
}

// A caller that left the bus: its answers are never reused (unique names are not
// given out twice, but the entries would stay).
void on_name_owner_changed(GDBusConnection *, const char *, const char *, const char *,
                           const char *, GVariant *parameters, gpointer) {
    const char *name = nullptr;
    const char *old_owner = nullptr;
    const char *new_owner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &name, &old_owner, &new_owner);
    if (name[0] != ':' || new_owner[0] != '\0')
        return;
    auto &entries = reuse_cache().entries;
    std::string_view gone(name);
    for (auto it = entries.begin(); it != entries.end();) {
        if (it->first.first == gone)
            it = entries.erase(it);
        else
            ++it;
    }
}

void watch_callers(GDBusConnection *connection) {
    ReuseCache &cache = reuse_cache();
    if (cache.watched == connection)
        return;
    cache.watched = connection;
    cache.entries.clear();
    g_dbus_connection_signal_subscribe(connection, "org.freedesktop.DBus", "org.freedesktop.DBus",
                                       "NameOwnerChanged", "/org/freedesktop/DBus", nullptr,
                                       G_DBUS_SIGNAL_FLAGS_NONE, on_name_owner_changed, nullptr,
                                       nullptr);
}

bool reusable(const Pending &p) {
    auto &entries = reuse_cache().entries;
    auto it = entries.find({p.sender, p.auth_class});
    if (it == entries.end())
        return false;
    if (Clock::now() < it->second)
        return true;
    entries.erase(it);
    return false;
}

void remember(const Pending &p) {
    watch_callers(g_dbus_method_invocation_get_connection(p.invocation));
    auto &entries = reuse_cache().entries;
    const auto now = Clock::now();
    for (auto it = entries.begin(); it != entries.end();) {
        if (it->second <= now)
            it = entries.erase(it);
        else
            ++it;
    }
    entries[{p.sender, p.auth_class}] = now + REUSE_FOR;
}

// polkit's rules or actions changed: no earlier answer holds.
void on_authority_changed(PolkitAuthority *, gpointer) {
    reuse_cache().entries.clear();
}

struct RefusalLog {
    int32_t cid;
    std::string action;
    std::string why;
};

void on_caller_uid(GObject *source, GAsyncResult *result, gpointer data) {
    std::unique_ptr<RefusalLog> refusal(static_cast<RefusalLog *>(data));
    g_autoptr(GVariant) reply =
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (reply != nullptr) {
        guint32 uid = 0;
        g_variant_get(reply, "(u)", &uid);
        QLOG_ERR("refused cid: 0x%04x of uid %u (%s): %s", static_cast<unsigned>(refusal->cid), uid,
                 refusal->action.c_str(), refusal->why.c_str());
    } else {
        QLOG_ERR("refused cid: 0x%04x of a caller that left the bus (%s): %s",
                 static_cast<unsigned>(refusal->cid), refusal->action.c_str(),
                 refusal->why.c_str());
    }
}

// Answers AccessDenied at once; the log line follows when the bus has told the
// caller's uid.
void refuse(std::unique_ptr<Pending> p, const char *why) {
    const char *action = quil_auth_action_id(p->auth_class);
    g_autofree char *message = g_strdup_printf("Not authorized for %s (command id 0x%04x)", action,
                                               static_cast<unsigned>(p->cid));
    GDBusConnection *connection = g_dbus_method_invocation_get_connection(p->invocation);
    auto refusal = std::make_unique<RefusalLog>(RefusalLog{p->cid, action, why});
    g_dbus_connection_call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetConnectionUnixUser",
                           g_variant_new("(s)", p->sender.c_str()), G_VARIANT_TYPE("(u)"),
                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr, on_caller_uid, refusal.release());
    // return_dbus_error takes over a reference; p keeps and drops its own.
    g_dbus_method_invocation_return_dbus_error(
        static_cast<GDBusMethodInvocation *>(g_object_ref(p->invocation)),
        "org.freedesktop.DBus.Error.AccessDenied", message);
}

void allow(std::unique_ptr<Pending> p) {
    std::function<void()> allowed = std::move(p->allowed);
    p.reset();
    allowed();
}

// No decision from polkit: queries go on, everything else is refused. One line says
// why either way.
void undecided(std::unique_ptr<Pending> p, const char *why) {
    if (p->auth_class == AuthClass::query) {
        QLOG_WARN("allowed cid: 0x%04x as a query (%s): %s", static_cast<unsigned>(p->cid),
                  quil_auth_action_id(p->auth_class), why);
        allow(std::move(p));
        return;
    }
    refuse(std::move(p), why);
}

gboolean on_check_timeout(gpointer data) {
    auto *p = static_cast<Pending *>(data);
    p->timeout_source = 0;
    p->timed_out = true;
    g_cancellable_cancel(p->cancellable);
    return G_SOURCE_REMOVE;
}

void on_checked(GObject *source, GAsyncResult *res, gpointer data) {
    std::unique_ptr<Pending> p(static_cast<Pending *>(data));
    g_autoptr(GError) error = nullptr;
    g_autoptr(PolkitAuthorizationResult) result =
        polkit_authority_check_authorization_finish(POLKIT_AUTHORITY(source), res, &error);
    if (result == nullptr) {
        g_autofree char *owner = polkit_authority_get_owner(POLKIT_AUTHORITY(source));
        if (p->timed_out) {
            undecided(std::move(p), "polkit did not answer within 30 s");
        } else if (owner == nullptr) {
            undecided(std::move(p), "polkit is not on the bus");
        } else {
            g_autofree char *why = g_strdup_printf("polkit check failed: %s", error->message);
            undecided(std::move(p), why);
        }
        return;
    }
    if (!polkit_authorization_result_get_is_authorized(result)) {
        refuse(std::move(p), polkit_authorization_result_get_is_challenge(result)
                                 ? "not authorized (authentication required)"
                                 : "not authorized");
        return;
    }
    // A check that did not allow interaction cannot have involved authentication.
    if (!p->interactive)
        remember(*p);
    allow(std::move(p));
}

void check(std::unique_ptr<Pending> p) {
    PolkitAuthority *authority = authority_state().authority;
    if (authority == nullptr) {
        g_autofree char *why =
            g_strdup_printf("polkit is not available: %s", authority_state().failure.c_str());
        undecided(std::move(p), why);
        return;
    }
    if (!g_dbus_is_unique_name(p->sender.c_str())) {
        undecided(std::move(p), "the caller has no unique bus name");
        return;
    }
    // No look at the authority's owner first: an activatable polkit is started by the
    // call; an absent one fails it at once.
    g_autoptr(PolkitSubject) subject = polkit_system_bus_name_new(p->sender.c_str());
    auto flags = p->interactive ? POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION
                                : POLKIT_CHECK_AUTHORIZATION_FLAGS_NONE;
    p->cancellable = g_cancellable_new();
    Pending *raw = p.release();
    raw->timeout_source = g_timeout_add_seconds(CHECK_TIMEOUT_S, on_check_timeout, raw);
    polkit_authority_check_authorization(authority, subject, quil_auth_action_id(raw->auth_class),
                                         nullptr, flags, raw->cancellable, on_checked, raw);
}

void on_authority(GObject *, GAsyncResult *res, gpointer) {
    AuthorityState &state = authority_state();
    g_autoptr(GError) error = nullptr;
    state.authority = polkit_authority_get_finish(res, &error);
    state.fetching = false;
    if (state.authority != nullptr)
        g_signal_connect(state.authority, "changed", G_CALLBACK(on_authority_changed), nullptr);
    else
        state.failure = error != nullptr ? error->message : "no authority";
    std::vector<std::unique_ptr<Pending>> waiting = std::move(state.waiting);
    state.waiting.clear();
    for (auto &p : waiting)
        check(std::move(p));
}

}  // namespace

AuthClass quil_command_auth_class(int32_t cid) {
    for (const auto &row : cid_classes) {
        if (row.cid == cid)
            return row.auth_class;
    }
    return AuthClass::configure;
}

const char *quil_auth_action_id(AuthClass auth_class) {
    switch (auth_class) {
        case AuthClass::query:
            return "com.quillon.helper.query";
        case AuthClass::configure:
            break;
        case AuthClass::flash:
            return "com.quillon.helper.flash";
    }
    return "com.quillon.helper.configure";
}

void quil_authorize_request(GDBusMethodInvocation *invocation, int32_t cid,
                            std::function<void()> allowed) {
    auto p = std::make_unique<Pending>(invocation, cid, std::move(allowed));
    if (reusable(*p)) {
        allow(std::move(p));
        return;
    }
    AuthorityState &state = authority_state();
    if (state.authority != nullptr) {
        check(std::move(p));
        return;
    }
    state.waiting.push_back(std::move(p));
    if (!state.fetching) {
        state.fetching = true;
        polkit_authority_get_async(nullptr, on_authority, nullptr);
    }
}

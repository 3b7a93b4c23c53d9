// SPDX-License-Identifier: GPL-2.0-or-later
#include "authorization.h"

#include <polkit/polkit.h>

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "log.h"

namespace {

struct CidClass {
    int32_t cid;
    AuthClass auth_class;
};

// Every command id that is not listed here is `configure`.
constexpr auto cid_classes = std::to_array<CidClass>({
    {0x1001, AuthClass::query}, {0x1002, AuthClass::query}, {0x1003, AuthClass::query},
    {0x1004, AuthClass::query}, {0x1005, AuthClass::query}, {0x1006, AuthClass::query},
    {0x1007, AuthClass::query}, {0x1008, AuthClass::query}, {0x2001, AuthClass::query},
    {0x2002, AuthClass::query}, {0x3004, AuthClass::query}, {0x4002, AuthClass::query},
    {0x4004, AuthClass::query}, {0x4008, AuthClass::query}, {0x4012, AuthClass::query},
    {0x4015, AuthClass::query}, {0x4016, AuthClass::query}, {0x401b, AuthClass::query},
    {0x4021, AuthClass::query}, {0x4023, AuthClass::query}, {0x4024, AuthClass::query},
    {0x4026, AuthClass::query}, {0x4027, AuthClass::query}, {0x100a, AuthClass::flash},
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

// The authority, fetched once; requests that come while it is being fetched wait here.
struct AuthorityState {
    PolkitAuthority *authority = nullptr;
    bool fetching = false;
    bool fetched = false;
    std::string failure;
    std::vector<std::unique_ptr<Pending>> waiting;
};

// Plain "yes" answers: (unique bus name, action) -> reusable until.
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

void on_name_owner_changed(GDBusConnection *, const char *, const char *, const char *,
                           const char *, GVariant *parameters, gpointer) {
    const char *name = nullptr;
    const char *old_owner = nullptr;
    const char *new_owner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &name, &old_owner, &new_owner);
    if (name == nullptr || name[0] != ':' || (new_owner != nullptr && new_owner[0] != '\0'))
        return;
    auto &entries = reuse_cache().entries;
    std::string gone(name);
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
    reuse_cache().entries[{p.sender, p.auth_class}] = Clock::now() + REUSE_FOR;
}

struct RefusalLog {
    int32_t cid;
    std::string action;
};

void on_caller_uid(GObject *source, GAsyncResult *result, gpointer data) {
    std::unique_ptr<RefusalLog> refusal(static_cast<RefusalLog *>(data));
    g_autoptr(GVariant) reply =
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (reply != nullptr) {
        guint32 uid = 0;
        g_variant_get(reply, "(u)", &uid);
        QLOG_ERR("refused cid 0x%x of uid %u: not authorized for %s", refusal->cid, uid,
                 refusal->action.c_str());
    } else {
        QLOG_ERR("refused cid 0x%x of a caller that left the bus: not authorized for %s",
                 refusal->cid, refusal->action.c_str());
    }
}

void refuse(std::unique_ptr<Pending> p) {
    const char *action = quil_auth_action_id(p->auth_class);
    g_autofree char *message =
        g_strdup_printf("Not authorized for %s (command id 0x%x)", action, p->cid);
    GDBusConnection *connection = g_dbus_method_invocation_get_connection(p->invocation);
    auto refusal = std::make_unique<RefusalLog>(RefusalLog{p->cid, action});
    g_dbus_connection_call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetConnectionUnixUser",
                           g_variant_new("(s)", p->sender.c_str()), G_VARIANT_TYPE("(u)"),
                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr, on_caller_uid, refusal.release());
    // The reference of p keeps the invocation alive across the call above.
    g_dbus_method_invocation_return_dbus_error(
        static_cast<GDBusMethodInvocation *>(g_object_ref(p->invocation)),
        "org.freedesktop.DBus.Error.AccessDenied", message);
}

void allow(std::unique_ptr<Pending> p) {
    std::function<void()> allowed = std::move(p->allowed);
    p.reset();
    allowed();
}

// No decision from polkit: queries go on, everything else is refused.
void undecided(std::unique_ptr<Pending> p, const char *why) {
    const char *action = quil_auth_action_id(p->auth_class);
    if (p->auth_class == AuthClass::query) {
        QLOG_WARN("%s: cid 0x%x (%s) allowed as a query", why, p->cid, action);
        allow(std::move(p));
        return;
    }
    QLOG_ERR("%s: cid 0x%x (%s) refused", why, p->cid, action);
    refuse(std::move(p));
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
        if (p->timed_out) {
            undecided(std::move(p), "polkit did not answer within 30 s");
        } else {
            g_autofree char *why = g_strdup_printf("polkit check failed (%s)", error->message);
            undecided(std::move(p), why);
        }
        return;
    }
    if (!polkit_authorization_result_get_is_authorized(result)) {
        refuse(std::move(p));
        return;
    }
    // A "yes" that no interactive authentication could have produced may be reused.
    if (!p->interactive && !polkit_authorization_result_get_retains_authorization(result))
        remember(*p);
    allow(std::move(p));
}

void check(std::unique_ptr<Pending> p) {
    PolkitAuthority *authority = authority_state().authority;
    if (authority == nullptr) {
        g_autofree char *why =
            g_strdup_printf("polkit is not available (%s)", authority_state().failure.c_str());
        undecided(std::move(p), why);
        return;
    }
    g_autofree char *owner = polkit_authority_get_owner(authority);
    if (owner == nullptr) {
        undecided(std::move(p), "polkit is not on the bus");
        return;
    }
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
    state.fetched = true;
    if (state.authority == nullptr)
        state.failure = error != nullptr ? error->message : "no authority";
    std::vector<std::unique_ptr<Pending>> waiting = std::move(state.waiting);
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
    if (state.fetched) {
        check(std::move(p));
        return;
    }
    state.waiting.push_back(std::move(p));
    if (!state.fetching) {
        state.fetching = true;
        polkit_authority_get_async(nullptr, on_authority, nullptr);
    }
}

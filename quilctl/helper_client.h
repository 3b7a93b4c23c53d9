// SPDX-License-Identifier: GPL-2.0-or-later
// quilctl's side of the bus: the proxy of com.quillon.helper (through the generated
// binding) and the sendMesg call.
#pragma once

#include <glib-object.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "quillon-helper-gdbus-generated.h"

namespace quilctl {

// The exit statuses of quilctl.
enum class Exit : int {
    ok = 0,      // rtcode 0, or a flash that ended "ok"
    failed = 1,  // rtcode 1, a failed flash, a call that failed on the bus
    usage = 2,   // the command line is wrong
    absent = 3,  // the helper is not on the bus (nor can it be started)
};

struct Reply {
    int32_t serviceid = 0;
    int32_t cid = 0;
    int32_t rtcode = 0;
    int32_t len = 0;
    std::string payload;
};

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using HelperProxy = std::unique_ptr<QuillonGdbusHelper, GObjectUnref>;

class HelperClient {
  public:
    // Connects to the system bus and makes the proxy; its signals are subscribed once
    // this returns. On failure: null, *error says why (the helper is then "absent").
    static std::unique_ptr<HelperClient> connect(std::string *error);

    QuillonGdbusHelper *proxy() const { return proxy_.get(); }
    GDBusProxy *gproxy() const { return G_DBUS_PROXY(proxy_.get()); }
    // Whether somebody owns com.quillon.helper right now.
    bool has_owner() const;

    // One sendMesg call, allowed to ask for interactive authorization. ok with *reply
    // filled; absent when the name has no owner and cannot be activated; failed for
    // any other error on the bus. *error is a one-line text for the last two.
    Exit send(int32_t serviceid, int32_t cid, std::string_view payload, int timeout_ms,
              Reply *reply, std::string *error) const;

  private:
    explicit HelperClient(HelperProxy proxy) : proxy_(std::move(proxy)) {}
    HelperProxy proxy_;
};

inline constexpr const char *HELPER_NAME = "com.quillon.helper";
inline constexpr const char *HELPER_PATH = "/com/quillon/helper";

}  // namespace quilctl

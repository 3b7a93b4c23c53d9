// SPDX-License-Identifier: GPL-2.0-or-later
// One sendMesg from its arrival to its answer.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// Answers the invocation with "(@((ii)iis))" built from the five values. The payload
// must be valid UTF-8; len is sent as it is given.
void quil_adapter_helperd_send_resp_to_dbus(GDBusMethodInvocation *invocation, int32_t serviceid,
                                            int32_t cid, int32_t rtcode, int32_t len,
                                            const char *payload);

// A sendMesg call with the request as the client sent it. It answers exactly once:
// the first reply() or fail() answers the caller, later ones do nothing, and a call
// destroyed without an answer sends the failure reply (the request echoed with
// rtcode 1). It owns the reference to the invocation that the answer consumes.
class PendingCall {
  public:
    PendingCall(GDBusMethodInvocation *invocation, int32_t serviceid, int32_t cid, int32_t rtcode,
                int32_t len, std::string payload)
        : invocation_(invocation),
          serviceid_(serviceid),
          cid_(cid),
          rtcode_(rtcode),
          len_(len),
          payload_(std::move(payload)) {}
    PendingCall(PendingCall &&other) noexcept
        : invocation_(std::exchange(other.invocation_, nullptr)),
          serviceid_(other.serviceid_),
          cid_(other.cid_),
          rtcode_(other.rtcode_),
          len_(other.len_),
          payload_(std::move(other.payload_)) {}
    PendingCall(const PendingCall &) = delete;
    PendingCall &operator=(const PendingCall &) = delete;
    PendingCall &operator=(PendingCall &&) = delete;
    ~PendingCall() { fail(); }

    int32_t serviceid() const { return serviceid_; }
    int32_t cid() const { return cid_; }
    int32_t rtcode() const { return rtcode_; }
    // The len bytes of the payload that a forwarded request carries (len was checked
    // against the payload's length when the call arrived).
    std::string_view forwarded_payload() const {
        return std::string_view(payload_).substr(0, static_cast<std::size_t>(len_));
    }

    // Answers the caller. A len past the text and its terminating NUL is cut to the
    // text's length: a client that copies len bytes never reads past the string.
    void reply(int32_t rtcode, int32_t len, std::string_view text);
    // The request echoed with rtcode 1.
    void fail() { reply(1, len_, payload_); }
    bool answered() const { return invocation_ == nullptr; }

  private:
    GDBusMethodInvocation *invocation_;
    int32_t serviceid_;
    int32_t cid_;
    int32_t rtcode_;
    int32_t len_;
    std::string payload_;
};

// SPDX-License-Identifier: GPL-2.0-or-later
// ModemManager and the fastboot flash: ModemManager probes and grabs a module that
// reboots into its bootloader, so while a flash runs it is asked to leave the module
// alone (org.freedesktop.ModemManager1.InhibitDevice).
//
// The inhibition has one owner, the main loop: it is taken, kept and released there
// only. One inhibition at a time.
#pragma once

#include <functional>

// The inhibition a fastboot flash request took before it was forwarded. Destroyed
// without keep_until_flash_ends(), it releases the inhibition (the request failed, so
// no flash runs). An object that took nothing does nothing.
class ModemInhibition {
  public:
    ModemInhibition() = default;
    ModemInhibition(ModemInhibition &&other) noexcept : owner_(other.owner_) {
        other.owner_ = false;
    }
    ModemInhibition(const ModemInhibition &) = delete;
    ModemInhibition &operator=(const ModemInhibition &) = delete;
    ModemInhibition &operator=(ModemInhibition &&) = delete;
    ~ModemInhibition();

    // The flash has started: the inhibition now lasts until its final status arrives
    // (quil_modem_manager_flash_ended) or its time bound passes.
    void keep_until_flash_ends() { owner_ = false; }

    // The inhibition just taken (the module's ModemManager device is inhibited).
    static ModemInhibition taken() { return ModemInhibition(true); }

  private:
    explicit ModemInhibition(bool owner) : owner_(owner) {}
    bool owner_ = false;
};

// Main loop only, before a fastboot flash request is forwarded: finds the ModemManager
// modem whose ports include the detected module's and inhibits its device, without
// blocking the loop; `done` runs once, from the main loop (or at once when there is
// nothing to ask), with the inhibition. Without ModemManager, without a modem object
// for the module, or when a call fails, nothing is inhibited (one log line) and the
// flash goes on. Every call is bounded by a short time-out. When an inhibition is
// already held (a flash runs), it is left as it is and the object `done` gets owns
// nothing.
void quil_modem_manager_inhibit_module(std::function<void(ModemInhibition)> done);

// Any thread: the flash ended ("fastboot flash ok" or "fastboot flash fail"). The
// release is handed over to the main loop.
void quil_modem_manager_flash_ended();

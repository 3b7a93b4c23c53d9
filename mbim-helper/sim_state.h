// SPDX-License-Identifier: GPL-2.0-or-later
// The SIM state table: what a subscriber ready state does, given whether "SIM
// inserted" has been reported. Pure logic, shared by the indication handler and the
// answer to the subscriber ready status query.
#pragma once

#include <cstdint>

// Where a subscriber ready state was seen: an unsolicited indication, or the answer
// to the query of control cid 16.
enum class SimStateSource { Indication, QueryAnswer };

enum class SimReport { None, Inserted, Removed };

// Log lines of one step, written in this order.
enum SimLog : unsigned {
    SIM_LOG_INITIALIZING = 1u << 0,     // Error "SIM card is initializing!"
    SIM_LOG_FAILURE = 1u << 1,          // Debug "Failure on SIM card state! ..."
    SIM_LOG_INSERTED_BEFORE = 1u << 2,  // Debug "SIM card was inserted before, ..."
    SIM_LOG_NOT_INSERTED = 1u << 3,     // Debug "SIM card not inserted at all, ..."
    SIM_LOG_LOCKED = 1u << 4,           // Debug "Duplicated ind, SIM card is locked!"
    SIM_LOG_NO_ESIM = 1u << 5,          // Error "Not support ESIM yet!"
    SIM_LOG_UNSUPPORTED = 1u << 6,      // Error "Unsupported SIM card ready state: %d!"
};

struct SimStateStep {
    bool inserted;             // the flag afterwards
    SimReport report;          // control message 17 to send
    bool post_home_provider;   // post control cid 18 to the own queue
    bool post_register_state;  // then post control cid 20
    unsigned logs;             // SimLog bits
};

// Subscriber ready states (MBIM values).
inline constexpr uint32_t SIM_READY_NOT_INITIALIZED = 0;
inline constexpr uint32_t SIM_READY_INITIALIZED = 1;
inline constexpr uint32_t SIM_READY_NOT_INSERTED = 2;
inline constexpr uint32_t SIM_READY_FAILURE = 4;
inline constexpr uint32_t SIM_READY_DEVICE_LOCKED = 6;
inline constexpr uint32_t SIM_READY_NO_ESIM_PROFILE = 7;

// One step of the SIM state table: what a ready state seen with the given flag does.
constexpr SimStateStep quil_sim_state_step(uint32_t ready_state, bool inserted,
                                           SimStateSource source) {
    SimStateStep step{inserted, SimReport::None, false, false, 0};
    switch (ready_state) {
        case SIM_READY_NOT_INITIALIZED:
            step.logs = SIM_LOG_INITIALIZING;
            if (inserted) {
                step.logs |= SIM_LOG_INSERTED_BEFORE;
            } else {
                step.inserted = true;
                step.report = SimReport::Inserted;
            }
            break;
        case SIM_READY_INITIALIZED:
            if (inserted) {
                step.logs = SIM_LOG_INSERTED_BEFORE;
            } else {
                step.inserted = true;
                step.report = SimReport::Inserted;
                step.post_home_provider = true;
                step.post_register_state = source == SimStateSource::QueryAnswer;
            }
            break;
        case SIM_READY_FAILURE:
        case SIM_READY_NOT_INSERTED:
            step.logs = ready_state == SIM_READY_FAILURE ? SIM_LOG_FAILURE : 0u;
            if (inserted) {
                step.inserted = false;
                step.report = SimReport::Removed;
            } else {
                step.logs |= SIM_LOG_NOT_INSERTED;
            }
            break;
        case SIM_READY_DEVICE_LOCKED:
            step.logs = SIM_LOG_LOCKED;
            break;
        case SIM_READY_NO_ESIM_PROFILE:
            step.logs = SIM_LOG_NO_ESIM;
            break;
        default:
            step.logs = SIM_LOG_UNSUPPORTED;
            break;
    }
    return step;
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "command_names.h"

namespace quil {

std::string_view command_kind_text(CommandKind kind) {
    switch (kind) {
        case CommandKind::query:
            return "query";
        case CommandKind::set:
            return "set";
        case CommandKind::local:
            return "local";
        case CommandKind::flash:
            return "flash";
    }
    return "?";
}

std::string_view payload_rule_text(PayloadRule rule) {
    switch (rule) {
        case PayloadRule::none:
            return "none";
        case PayloadRule::required:
            return "required";
        case PayloadRule::optional:
            return "optional";
    }
    return "?";
}

std::string_view names_problem_text(NamesProblem problem) {
    switch (problem) {
        case NamesProblem::none:
            return "none";
        case NamesProblem::duplicate_cid:
            return "cid listed twice";
        case NamesProblem::duplicate_name:
            return "name listed twice";
        case NamesProblem::payload_rule_mismatch:
            return "payload rule does not fit the kind";
        case NamesProblem::daemon_row_unnamed:
            return "served command has no name";
        case NamesProblem::kind_mismatch:
            return "kind does not fit the command table row";
        case NamesProblem::name_without_row:
            return "name without a command table row";
    }
    return "?";
}

}  // namespace quil

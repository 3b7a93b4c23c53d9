// SPDX-License-Identifier: GPL-2.0-or-later
#include "at_answer.h"

#include <algorithm>
#include <cstring>

namespace {

// Two strtok steps over text: the first drops the first token delimited by `first`,
// the second returns the next token delimited by `second`. Leading delimiters are
// skipped in both steps, as strtok does.
std::optional<std::string_view> two_step_token(std::string_view text, std::string_view first,
                                               std::string_view second) {
    std::size_t begin = text.find_first_not_of(first);
    if (begin == std::string_view::npos)
        return std::nullopt;
    std::size_t end = text.find_first_of(first, begin);
    if (end == std::string_view::npos)
        return std::nullopt;  // the first token runs to the end: nothing is left
    std::size_t start = text.find_first_not_of(second, end + 1);
    if (start == std::string_view::npos)
        return std::nullopt;
    std::size_t stop = text.find_first_of(second, start);
    return text.substr(start,
                       stop == std::string_view::npos ? std::string_view::npos : stop - start);
}

constexpr std::string_view kCrLf = "\r\n";

}  // namespace

void AtAnswerBuffer::commit(long n) {
    if (n <= 0)
        return;
    fill_ += std::min(static_cast<std::size_t>(n), room());
    buffer_[fill_] = '\0';
}

bool AtAnswerBuffer::has_final() const {
    std::string_view read(buffer_.data(), fill_);
    return read.find("OK") != std::string_view::npos ||
           read.find("ERROR") != std::string_view::npos;
}

std::string_view AtAnswerBuffer::text() const {
    return std::string_view(buffer_.data(), strnlen(buffer_.data(), fill_));
}

SetCommandStatus quil_at_compose_set_command(std::string_view row_text, std::string_view payload,
                                             char *out, std::size_t out_size) {
    if (out == nullptr || out_size == 0)
        return SetCommandStatus::too_long;
    std::size_t limit = std::min(out_size - 1, AT_SET_COMMAND_MAX);
    if (row_text.size() > limit || payload.size() > limit - row_text.size())
        return SetCommandStatus::too_long;
    // The payload supplies arguments only: it must not end the command line (CR, LF or
    // any other control character) nor chain a further command with ';' outside a
    // quoted string. A quote left open would leave the rest of the line to the modem's
    // reading of it, so the quotes must pair up.
    bool quoted = false;
    for (char c : payload) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            return SetCommandStatus::illegal_character;
        if (c == '"')
            quoted = !quoted;
        else if (c == ';' && !quoted)
            return SetCommandStatus::illegal_character;
    }
    if (quoted)
        return SetCommandStatus::illegal_character;
    // An empty view may carry no pointer at all: nothing is copied from it then.
    if (!row_text.empty())
        std::memcpy(out, row_text.data(), row_text.size());
    if (!payload.empty())
        std::memcpy(out + row_text.size(), payload.data(), payload.size());
    out[row_text.size() + payload.size()] = '\0';
    return SetCommandStatus::ok;
}

AtCutRule quil_at_cut_rule(int32_t cid) {
    for (const auto &row : at_cut_table) {
        if (row.cid == cid)
            return row.rule;
    }
    return AtCutRule::whole;
}

std::optional<std::string_view> quil_at_cut_out(AtCutRule rule, std::string_view answer) {
    switch (rule) {
        case AtCutRule::quoted:
            return two_step_token(answer, "\"", "\"");
        case AtCutRule::after_lf:
            return two_step_token(answer, "\n", kCrLf);
        case AtCutRule::after_colon:
            return two_step_token(answer, ":", kCrLf);
        case AtCutRule::after_blank:
            return two_step_token(answer, " ", kCrLf);
        case AtCutRule::second_line:
            return two_step_token(answer, kCrLf, kCrLf);
        case AtCutRule::whole:
            break;
    }
    if (answer.empty())
        return std::nullopt;
    return answer;
}

bool quil_at_is_syscmd(std::string_view command) {
    return command.find("at+syscmd") != std::string_view::npos;
}

std::size_t quil_at_strip_usb_id(char *text) {
    std::size_t kept = 0;
    for (std::size_t i = 0; text[i] != '\0'; ++i) {
        if (text[i] != ':' && text[i] != '\n')
            text[kept++] = text[i];
    }
    text[kept] = '\0';
    return kept;
}

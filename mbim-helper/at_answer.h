// SPDX-License-Identifier: GPL-2.0-or-later
// The pure rules of the AT channel: collecting an answer into its bounded buffer,
// composing a set command, and cutting the useful part out of an answer by the cid.
// Nothing here touches a port, a queue or the log, so every rule can be tested alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// The answer buffer of one exchange, and the most a set command may hold.
inline constexpr std::size_t AT_ANSWER_SIZE = 2048;
inline constexpr std::size_t AT_SET_COMMAND_SIZE = 128;
inline constexpr std::size_t AT_SET_COMMAND_MAX = AT_SET_COMMAND_SIZE - 1;

// The modem's answer as it is read: appended read by read, always NUL-terminated,
// never filled past its last byte. A failed read (a negative count) changes nothing.
class AtAnswerBuffer {
  public:
    // Where the next read goes and how much it may read (one byte is kept for the NUL).
    char *free_space() { return buffer_.data() + fill_; }
    std::size_t room() const { return buffer_.size() - 1 - fill_; }
    // Records a read of n bytes; n <= 0 is ignored and n is never taken beyond room().
    void commit(long n);
    // True when the bytes read so far hold "OK" or "ERROR" (anywhere, even inside a word).
    bool has_final() const;
    bool full() const { return room() == 0; }
    std::size_t filled() const { return fill_; }
    // The answer as text: the bytes read up to the first NUL.
    std::string_view text() const;

  private:
    std::array<char, AT_ANSWER_SIZE> buffer_{};
    std::size_t fill_ = 0;
};

// Composing a set command: the row's text followed by the payload.
enum class SetCommandStatus {
    ok,
    too_long,           // row text and payload exceed AT_SET_COMMAND_MAX characters
    illegal_character,  // a control character (CR, LF, ...), a ';' outside quotes or a
                        // double quote left open
};

// Writes the command, NUL-terminated, into out (out_size bytes) when it fits and the
// payload cannot end the command line or start a further command. Nothing is written
// otherwise. At most min(out_size - 1, AT_SET_COMMAND_MAX) characters are accepted.
SetCommandStatus quil_at_compose_set_command(std::string_view row_text, std::string_view payload,
                                             char *out, std::size_t out_size);

// How a completion cuts the result out of an answer. Every rule is two tokenising
// steps in the manner of strtok: the first splits at the first set and drops the
// first token, the result is the next token, delimited by the second set.
enum class AtCutRule {
    quoted,       // first set '"', second set '"': the text between the first two quotes
    after_lf,     // LF; CR LF: the first non-empty line after the first line feed
    after_colon,  // ':'; CR LF: the rest of the line after the first colon
    after_blank,  // ' '; CR LF: the rest of the line after the first blank
    second_line,  // CR LF; CR LF: the second non-empty line
    whole,        // no cutting: the whole answer
};

struct AtCutRow {
    int32_t cid;
    AtCutRule rule;
};

// The cut-out rule of every AT row answered by the answer-text completion. A cid
// without a row is answered with the whole answer as well.
inline constexpr std::array<AtCutRow, 31> at_cut_table = {{
    {0x1001, AtCutRule::quoted},      {0x1003, AtCutRule::quoted},
    {0x1004, AtCutRule::quoted},      {0x1005, AtCutRule::quoted},
    {0x0100, AtCutRule::after_lf},    {0x1002, AtCutRule::after_lf},
    {0x1006, AtCutRule::after_lf},    {0x4001, AtCutRule::after_lf},
    {0x4011, AtCutRule::after_lf},    {0x2002, AtCutRule::after_colon},
    {0x4024, AtCutRule::after_colon}, {0x4002, AtCutRule::after_blank},
    {0x4004, AtCutRule::after_blank}, {0x4008, AtCutRule::after_blank},
    {0x4012, AtCutRule::after_blank}, {0x4015, AtCutRule::after_blank},
    {0x4016, AtCutRule::after_blank}, {0x401b, AtCutRule::after_blank},
    {0x4021, AtCutRule::after_blank}, {0x4023, AtCutRule::after_blank},
    {0x4005, AtCutRule::second_line}, {0x4007, AtCutRule::second_line},
    {0x4013, AtCutRule::second_line}, {0x4014, AtCutRule::second_line},
    {0x4017, AtCutRule::second_line}, {0x401a, AtCutRule::second_line},
    {0x4020, AtCutRule::second_line}, {0x4022, AtCutRule::second_line},
    {0x3004, AtCutRule::whole},       {0x4003, AtCutRule::whole},
    {0x4025, AtCutRule::whole},
}};

// The rule of a cid: its row in at_cut_table, the whole answer for every other cid.
AtCutRule quil_at_cut_rule(int32_t cid);

// The result cut out of the answer; empty when no token is left. The view points into
// answer.
std::optional<std::string_view> quil_at_cut_out(AtCutRule rule, std::string_view answer);

// True when the command text makes the module reboot, so that no answer is read.
bool quil_at_is_syscmd(std::string_view command);

// The USB id text of the module: every ':' and every newline removed, in place.
// Returns the new length.
std::size_t quil_at_strip_usb_id(char *text);

// SPDX-License-Identifier: GPL-2.0-or-later
#include "output.h"

#include <json-glib/json-glib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "command_names.h"

namespace quilctl {

namespace {

void write_line(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The node as one line of JSON.
void write_json(JsonNode *node) {
    g_autoptr(JsonGenerator) generator = json_generator_new();
    json_generator_set_root(generator, node);
    g_autofree gchar *text = json_generator_to_data(generator, nullptr);
    write_line(text);
}

void write_json(JsonBuilder *builder) {
    g_autoptr(JsonNode) root = json_builder_get_root(builder);
    write_json(root);
}

std::string cid_text(int32_t cid) {
    g_autofree gchar *text = g_strdup_printf("0x%04x", static_cast<unsigned>(cid));
    return text;
}

void add_member(JsonBuilder *builder, const char *name, std::string_view value) {
    json_builder_set_member_name(builder, name);
    std::string copy(value);
    json_builder_add_string_value(builder, copy.c_str());
}

void add_member(JsonBuilder *builder, const char *name, int64_t value) {
    json_builder_set_member_name(builder, name);
    json_builder_add_int_value(builder, value);
}

// The words quilctl takes as its command besides the names of the table.
constexpr std::string_view kBuiltins[] = {"flash", "help", "list", "monitor", "raw"};

}  // namespace

Exit fail(Exit status, std::string_view message) {
    std::fprintf(stderr, "quilctl: %.*s\n", static_cast<int>(message.size()), message.data());
    return status;
}

Exit print_reply(const Reply &reply, std::string_view label, bool json) {
    if (json) {
        g_autoptr(JsonBuilder) builder = json_builder_new();
        json_builder_begin_object(builder);
        add_member(builder, "serviceid", reply.serviceid);
        add_member(builder, "cid", reply.cid);
        json_builder_set_member_name(builder, "command");
        if (const quil::CommandName *named = quil::find_command_cid(reply.cid)) {
            std::string name(named->name);
            json_builder_add_string_value(builder, name.c_str());
        } else {
            json_builder_add_null_value(builder);
        }
        add_member(builder, "rtcode", reply.rtcode);
        add_member(builder, "len", reply.len);
        add_member(builder, "payload", reply.payload);
        json_builder_end_object(builder);
        write_json(builder);
    } else if (reply.rtcode == 0) {
        // Payloads such as "normalport\n" bring their own line end.
        std::fwrite(reply.payload.data(), 1, reply.payload.size(), stdout);
        if (reply.payload.empty() || reply.payload.back() != '\n')
            std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    if (reply.rtcode == 0)
        return Exit::ok;
    std::string text = reply.payload;
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    if (text.empty())
        text = "no answer (rtcode " + std::to_string(reply.rtcode) + ")";
    return fail(Exit::failed, std::string(label) + " failed: " + text);
}

std::string time_stamp_now() {
    g_autoptr(GDateTime) now = g_date_time_new_now_local();
    g_autofree gchar *seconds = g_date_time_format(now, "%Y-%m-%dT%H:%M:%S");
    g_autofree gchar *zone = g_date_time_format(now, "%:z");
    g_autofree gchar *text =
        g_strdup_printf("%s.%03d%s", seconds, g_date_time_get_microsecond(now) / 1000, zone);
    return text;
}

void print_signal(std::string_view member, GVariant *parameters, bool json) {
    std::string stamp = time_stamp_now();
    if (json) {
        g_autoptr(JsonBuilder) builder = json_builder_new();
        json_builder_begin_object(builder);
        add_member(builder, "time", stamp);
        add_member(builder, "signal", member);
        json_builder_set_member_name(builder, "args");
        json_builder_add_value(builder, json_gvariant_serialize(parameters));
        json_builder_end_object(builder);
        write_json(builder);
        return;
    }
    std::string line = stamp + " " + std::string(member);
    GVariantIter iter;
    g_variant_iter_init(&iter, parameters);
    while (GVariant *child = g_variant_iter_next_value(&iter)) {
        if (g_variant_is_of_type(child, G_VARIANT_TYPE_STRING)) {
            line += " ";
            line += g_variant_get_string(child, nullptr);
        } else {
            g_autofree gchar *text = g_variant_print(child, FALSE);
            line += " ";
            line += text;
        }
        g_variant_unref(child);
    }
    write_line(line);
}

void print_command_list(bool json, bool names_only) {
    if (names_only) {
        for (std::string_view word : kBuiltins)
            write_line(word);
        for (const auto &row : quil::command_names)
            write_line(row.name);
        return;
    }
    if (json) {
        g_autoptr(JsonBuilder) builder = json_builder_new();
        json_builder_begin_array(builder);
        for (const auto &row : quil::command_names) {
            json_builder_begin_object(builder);
            add_member(builder, "name", row.name);
            add_member(builder, "cid", row.cid);
            add_member(builder, "kind", quil::command_kind_text(row.kind));
            add_member(builder, "payload", quil::payload_rule_text(row.payload));
            add_member(builder, "description", row.description);
            json_builder_end_object(builder);
        }
        json_builder_end_array(builder);
        write_json(builder);
        return;
    }
    for (const auto &row : quil::command_names) {
        std::string kind(quil::command_kind_text(row.kind));
        std::string payload(quil::payload_rule_text(row.payload));
        std::string name(row.name);
        std::string description(row.description);
        std::printf("%-26s %s  %-5s  %-8s  %s\n", name.c_str(), cid_text(row.cid).c_str(),
                    kind.c_str(), payload.c_str(), description.c_str());
    }
    std::fflush(stdout);
}

ProgressView::ProgressView(bool json, std::string_view kind)
    : json_(json), terminal_(!json && isatty(STDOUT_FILENO) == 1), kind_(kind) {}

ProgressView::~ProgressView() {
    end_bar();
}

void ProgressView::end_bar() {
    if (!bar_shown_)
        return;
    std::fputc('\n', stdout);
    std::fflush(stdout);
    bar_shown_ = false;
}

void ProgressView::progress(int percent) {
    if (json_) {
        g_autoptr(GVariant) args =
            g_variant_ref_sink(g_variant_new("(si)", kind_.c_str(), percent));
        print_signal("flashProgress", args, true);
        return;
    }
    if (!terminal_) {
        std::printf("progress %d\n", percent);
        std::fflush(stdout);
        return;
    }
    constexpr int kWidth = 40;
    int filled = std::clamp(percent, 0, 100) * kWidth / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '.');
    std::printf("\r[%s] %3d%%", bar.c_str(), percent);
    std::fflush(stdout);
    bar_shown_ = true;
}

void ProgressView::status(std::string_view text) {
    if (json_) {
        std::string copy(text);
        g_autoptr(GVariant) args = g_variant_ref_sink(g_variant_new("(s)", copy.c_str()));
        print_signal(kind_ == "edl" ? "edlStatus" : "fastbootStatus", args, true);
        return;
    }
    end_bar();
    write_line(text);
}

}  // namespace quilctl

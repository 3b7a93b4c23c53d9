// SPDX-License-Identifier: GPL-2.0-or-later
// The pure rules of a fastboot flash: the payload analysis with its refusals, and the
// plan of steps (partitions, images, percentages, flush and pause rules).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fastboot_payload.h"

namespace {

const std::string kRoot(FASTBOOT_DEFAULT_FLASHPATH);

// Analysis ---------------------------------------------------------------------------

struct Expect {
    std::string flashpath = kRoot;
    std::string ap{}, modem{}, dev{}, oem{}, op{};
    std::string dev_path{}, oem_path{}, op_path{};
    std::array<int32_t, PAYLOAD_FIELD_KINDS> counts{};
    int32_t default_devpack = 0;
    std::vector<std::string> unmatched{};
};

struct AnalysisCase {
    const char *what;
    std::string payload;
    PayloadVerdict verdict;
    std::optional<Expect> expect;  // checked when the verdict is ok
};

void PrintTo(const AnalysisCase &c, std::ostream *os) {
    *os << c.what;
}

class Analysis : public ::testing::TestWithParam<AnalysisCase> {};

TEST_P(Analysis, GivesTheExpectedRecord) {
    const AnalysisCase &c = GetParam();
    payload_analysis got;
    EXPECT_EQ(quil_program_payload_analysis(c.payload, got), c.verdict)
        << c.what << ": "
        << quil_payload_verdict_text(quil_program_payload_analysis(c.payload, got));
    if (!c.expect)
        return;
    const Expect &e = *c.expect;
    EXPECT_EQ(got.flashpath, e.flashpath) << c.what;
    EXPECT_EQ(got.ap_ver, e.ap) << c.what;
    EXPECT_EQ(got.modem_ver, e.modem) << c.what;
    EXPECT_EQ(got.dev_ver, e.dev) << c.what;
    EXPECT_EQ(got.oem_ver, e.oem) << c.what;
    EXPECT_EQ(got.op_ver, e.op) << c.what;
    EXPECT_EQ(got.dev_ver_path, e.dev_path) << c.what;
    EXPECT_EQ(got.oem_ver_path, e.oem_path) << c.what;
    EXPECT_EQ(got.op_ver_path, e.op_path) << c.what;
    EXPECT_EQ(got.counts, e.counts) << c.what;
    EXPECT_EQ(got.default_devpack, e.default_devpack) << c.what;
    EXPECT_EQ(got.unmatched_fields, e.unmatched) << c.what;
}

// Counts in the order path, ap, md, dev, oem, op.
std::array<int32_t, PAYLOAD_FIELD_KINDS> counts(int32_t path, int32_t ap, int32_t md, int32_t dev,
                                                int32_t oem, int32_t op) {
    return {path, ap, md, dev, oem, op};
}

std::string repeat(char c, std::size_t n) {
    return std::string(n, c);
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, Analysis,
    ::testing::
        Values(
            AnalysisCase{"three groups, default package", "ap:A1;md:M1;op:P1", PayloadVerdict::ok,
                         Expect{.ap = "A1",
                                .modem = "M1",
                                .op = "P1",
                                .oem_path = "OEM_OTA_",
                                .op_path = "OP_OTA_P1",
                                .counts = counts(0, 1, 1, 0, 0, 1)}},
            AnalysisCase{"flash path with its colons kept", "path:/data/fw:v2/;md:M1",
                         PayloadVerdict::ok,
                         Expect{.flashpath = "/data/fw:v2/",
                                .modem = "M1",
                                .oem_path = "OEM_OTA_",
                                .op_path = "OP_OTA_",
                                .counts = counts(1, 0, 1, 0, 0, 0)}},
            AnalysisCase{"default device pack", "dev:default_X1", PayloadVerdict::ok,
                         Expect{.dev = "default_X1",
                                .dev_path = "OEM_OTA_X1",
                                .oem_path = "OEM_OTA_",
                                .op_path = "OP_OTA_",
                                .counts = counts(0, 0, 0, 1, 0, 0),
                                .default_devpack = 1}},
            AnalysisCase{
                "device pack of its own",
                "dev:X1",
                PayloadVerdict::ok,
                Expect{
                    .dev =
                        "X1",
                    .dev_path =
                        "X1",
                    .oem_path =
                        "OEM_OTA_",
                    .op_path = "OP_OTA_",
                    .counts = counts(0, 0, 0, 1, 0, 0)}},
            AnalysisCase{"all five groups", "path:/fw/;ap:A;md:M;dev:D;oem:O;op:P",
                         PayloadVerdict::ok,
                         Expect{
                             .flashpath = "/fw/",
                             .ap = "A",
                             .modem = "M",
                             .dev = "D",
                             .oem = "O",
                             .op = "P",
                             .dev_path = "D",
                             .oem_path = "OEM_OTA_O",
                             .op_path = "OP_OTA_P",
                             .counts = counts(1, 1, 1, 1, 1, 1)}},
            AnalysisCase{"a field twice: counted twice, the later value wins", "md:M1;md:M2",
                         PayloadVerdict::ok,
                         Expect{
                             .modem = "M2",
                             .oem_path =
                                 "OEM_OTA_",
                             .op_path = "OP_OTA_",
                             .counts = counts(0, 0, 2, 0, 0, 0)}},
            AnalysisCase{"empty fields between separators do not count",
                         ";;md:M1;;", PayloadVerdict::ok,
                         Expect{
                             .modem = "M1",
                             .oem_path =
                                 "OEM_OTA_",
                             .op_path = "OP_OTA_",
                             .counts = counts(0, 0, 1, 0, 0, 0)}},
            AnalysisCase{"\"ap\" anywhere in a field makes it the AP group", "dev:X1_map",
                         PayloadVerdict::ok,
                         Expect{
                             .ap = "X1_map",
                             .oem_path =
                                 "OEM_OTA_",
                             .op_path = "OP_OTA_",
                             .counts = counts(0, 1, 0, 0, 0, 0)}},
            AnalysisCase{
                "a key is found anywhere in the field, value after the first colon", "top:T1:x",
                PayloadVerdict::ok,
                Expect{.op = "T1:x",
                       .oem_path = "OEM_OTA_",
                       .op_path = "OP_OTA_T1:x",
                       .counts = counts(0, 0, 0, 0, 0, 1)}},
            AnalysisCase{"a field naming nothing is skipped", "version:1;md:M1", PayloadVerdict::ok,
                         Expect{
                             .modem = "M1",
                             .oem_path =
                                 "OEM_OTA_",
                             .op_path = "OP_OTA_",
                             .counts = counts(0, 0, 1, 0, 0, 0),
                             .unmatched = {"version:1"}}},
            // Harmless once no shell sees them: passed on literally, as one argument.
            AnalysisCase{"shell text is an ordinary value", "md:M1 $(touch /run/x) `id` |&>'\"",
                         PayloadVerdict::ok,
                         Expect{
                             .modem = "M1 $(touch /run/x) `id` |&>'\"",
                             .oem_path =
                                 "OEM_OTA_",
                             .op_path = "OP_OTA_",
                             .counts = counts(0, 0, 1, 0, 0, 0)}},
            AnalysisCase{"bytes above 0x7f are no control characters", "md:M\xc3\xa9",
                         PayloadVerdict::ok,
                         Expect{
                             .modem = "M\xc3\xa9",
                             .oem_path =
                                 "OEM_OTA_",
                             .op_path = "OP_OTA_",
                             .counts = counts(0, 0, 1, 0, 0, 0)}},
            AnalysisCase{"a field of 63 characters", "md:" + repeat('M', 60),
                         PayloadVerdict::ok, std::nullopt},
            AnalysisCase{"a flash path field of 255 characters",
                         "path:/" + repeat('p', 248) + "/;md:M", PayloadVerdict::ok, std::nullopt},
            AnalysisCase{
                "a payload of 511 bytes",
                [] {
                    std::string p;
                    while (p.size() + 6 <= 511)
                        p += "md:M1;";
                    return p + repeat('x', 511 - p.size());
                }(),
                PayloadVerdict::ok, std::nullopt}));

INSTANTIATE_TEST_SUITE_P(
    Refused, Analysis,
    ::testing::Values(
        AnalysisCase{"empty payload", "", PayloadVerdict::no_group, std::nullopt},
        AnalysisCase{"only separators", ";;;", PayloadVerdict::no_group, std::nullopt},
        AnalysisCase{"no field names a group", "version:1;foo:bar", PayloadVerdict::no_group,
                     std::nullopt},
        AnalysisCase{"only a flash path", "path:/fw/", PayloadVerdict::no_group, std::nullopt},
        AnalysisCase{"payload of 512 bytes", "md:M1;" + repeat('x', 506),
                     PayloadVerdict::payload_too_long, std::nullopt},
        AnalysisCase{"field of 64 characters", "md:" + repeat('M', 61),
                     PayloadVerdict::field_too_long, std::nullopt},
        AnalysisCase{"flash path field of 256 characters", "path:/" + repeat('p', 249) + "/;md:M",
                     PayloadVerdict::field_too_long, std::nullopt},
        AnalysisCase{"newline", "md:M1\n", PayloadVerdict::illegal_character, std::nullopt},
        AnalysisCase{"carriage return", "md:M1\r;op:P1", PayloadVerdict::illegal_character,
                     std::nullopt},
        AnalysisCase{"tab", "md:M\t1", PayloadVerdict::illegal_character, std::nullopt},
        AnalysisCase{"DEL", "md:M\x7f", PayloadVerdict::illegal_character, std::nullopt},
        AnalysisCase{"NUL inside", std::string("md:M1\0;op:P1", 12),
                     PayloadVerdict::illegal_character, std::nullopt},
        AnalysisCase{"control character in a skipped field", "x\x01y;md:M1",
                     PayloadVerdict::illegal_character, std::nullopt},
        AnalysisCase{"parent directory in a group value", "md:../M1",
                     PayloadVerdict::parent_reference, std::nullopt},
        AnalysisCase{"parent directory at the end", "ap:A1/..", PayloadVerdict::parent_reference,
                     std::nullopt},
        AnalysisCase{"parent directory in the flash path", "path:/opt/../etc/;md:M1",
                     PayloadVerdict::parent_reference, std::nullopt},
        AnalysisCase{"empty value", "md:", PayloadVerdict::empty_value, std::nullopt},
        AnalysisCase{"no colon", "md", PayloadVerdict::empty_value, std::nullopt},
        AnalysisCase{"empty flash path", "path:;md:M1", PayloadVerdict::empty_value, std::nullopt},
        AnalysisCase{"default device pack naming nothing", "dev:default",
                     PayloadVerdict::empty_value, std::nullopt},
        AnalysisCase{"default device pack with nothing after _", "dev:default_",
                     PayloadVerdict::empty_value, std::nullopt},
        AnalysisCase{"relative flash path", "path:fw/;md:M1", PayloadVerdict::path_not_absolute,
                     std::nullopt},
        AnalysisCase{"flash path without its trailing slash", "path:/fw;md:M1",
                     PayloadVerdict::path_not_directory, std::nullopt}));

// Planner ----------------------------------------------------------------------------

struct PlannedStep {
    std::string partition;
    std::string image_path;
    int percentage;
    StepFlush flush;
    StepPause pause;

    bool operator==(const PlannedStep &) const = default;
};

std::ostream &operator<<(std::ostream &os, const PlannedStep &s) {
    return os << "{" << s.partition << ", " << s.image_path << ", " << s.percentage << ", "
              << (s.flush == StepFlush::before ? "before" : "after_success") << ", "
              << (s.pause == StepPause::always ? "always" : "after_success") << "}";
}

std::vector<PlannedStep> plan(const std::string &payload) {
    payload_analysis analysis;
    EXPECT_EQ(quil_program_payload_analysis(payload, analysis), PayloadVerdict::ok) << payload;
    std::vector<PlannedStep> out;
    for (const auto &s : quil_fastboot_plan_steps(analysis))
        out.push_back({s.partition, s.image_path, s.percentage, s.flush, s.pause});
    return out;
}

constexpr auto AP = StepFlush::after_success;
constexpr auto BEFORE = StepFlush::before;
constexpr auto ON_OK = StepPause::after_success;
constexpr auto ALWAYS = StepPause::always;

std::vector<int> percentages(const std::vector<PlannedStep> &steps) {
    std::vector<int> out;
    for (const auto &s : steps)
        out.push_back(s.percentage);
    return out;
}

TEST(Plan, ThreeGroupsGiveSevenStepsAtFourteenPerCent) {
    std::vector<PlannedStep> expected = {
        {"aboot", kRoot + "A1/appsboot.mbn", 14, AP, ON_OK},
        {"boot", kRoot + "A1/sdxnightjar-boot.img", 28, AP, ON_OK},
        {"system", kRoot + "A1/sdxnightjar-sysfs.ubi", 42, AP, ON_OK},
        {"userdata", kRoot + "A1/sdxnightjar-usrfs.ubi", 56, AP, ON_OK},
        {"sbl", kRoot + "basic_update_img/sbl1.mbn", 70, AP, ON_OK},
        {"modem", kRoot + "M1/NON-HLOS.ubi", 84, BEFORE, ON_OK},
        {"operatorpack", kRoot + "OP_OTA_P1/operatorpack.ubi", 98, BEFORE, ALWAYS},
    };
    EXPECT_EQ(plan("ap:A1;md:M1;op:P1"), expected);
}

TEST(Plan, OnlyTheModemIsOneStepAtNinetyNine) {
    std::vector<PlannedStep> expected = {{"modem", kRoot + "M1/NON-HLOS.ubi", 99, BEFORE, ON_OK}};
    EXPECT_EQ(plan("md:M1"), expected);
}

TEST(Plan, OnlyTheApGroupIsFiveSteps) {
    auto steps = plan("ap:A1");
    EXPECT_EQ(percentages(steps), (std::vector<int>{19, 38, 57, 76, 95}));
    ASSERT_EQ(steps.size(), 5u);
    EXPECT_EQ(steps.back().partition, "sbl");
}

TEST(Plan, AllFiveGroupsInTheirOrder) {
    std::vector<PlannedStep> expected = {
        {"aboot", "/fw/A/appsboot.mbn", 11, AP, ON_OK},
        {"boot", "/fw/A/sdxnightjar-boot.img", 22, AP, ON_OK},
        {"system", "/fw/A/sdxnightjar-sysfs.ubi", 33, AP, ON_OK},
        {"userdata", "/fw/A/sdxnightjar-usrfs.ubi", 44, AP, ON_OK},
        {"sbl", "/fw/basic_update_img/sbl1.mbn", 55, AP, ON_OK},
        {"modem", "/fw/M/NON-HLOS.ubi", 66, BEFORE, ON_OK},
        {"devicepack", "/fw/DEV_OTA_PACKAGE/D/devicepack.ubi", 77, BEFORE, ALWAYS},
        {"oempack", "/fw/OEM_OTA_O/oempack.ubi", 88, BEFORE, ALWAYS},
        {"operatorpack", "/fw/OP_OTA_P/operatorpack.ubi", 99, BEFORE, ALWAYS},
    };
    // The order of the fields in the payload does not matter.
    EXPECT_EQ(plan("op:P;oem:O;dev:D;md:M;ap:A;path:/fw/"), expected);
}

TEST(Plan, DevicePackDefaultComesFromItsOemDirectory) {
    std::vector<PlannedStep> expected = {
        {"devicepack", kRoot + "OEM_OTA_X1/devicepack.ubi", 99, BEFORE, ALWAYS}};
    EXPECT_EQ(plan("dev:default_X1"), expected);
}

TEST(Plan, DevicePackOfItsOwnComesFromTheDevicePackages) {
    std::vector<PlannedStep> expected = {
        {"devicepack", kRoot + "DEV_OTA_PACKAGE/X1/devicepack.ubi", 99, BEFORE, ALWAYS}};
    EXPECT_EQ(plan("dev:X1"), expected);
}

TEST(Plan, AGroupNamedTwiceIsFlashedOnce) {
    auto steps = plan("md:M1;md:M2");
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].image_path, kRoot + "M2/NON-HLOS.ubi");
}

TEST(Plan, IncrementIsNinetyNineDividedByTheStepCount) {
    EXPECT_EQ(percentages(plan("md:M;op:P")), (std::vector<int>{49, 98}));
    EXPECT_EQ(percentages(plan("md:M;oem:O;op:P")), (std::vector<int>{33, 66, 99}));
    EXPECT_EQ(percentages(plan("ap:A;md:M")), (std::vector<int>{16, 32, 48, 64, 80, 96}));
    EXPECT_EQ(percentages(plan("ap:A;md:M;dev:D;oem:O")),
              (std::vector<int>{12, 24, 36, 48, 60, 72, 84, 96}));
}

TEST(Plan, ShellTextStaysInsideOneImagePath) {
    auto steps = plan("md:M1 $(touch /run/x);op:P`id`");
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].image_path, kRoot + "M1 $(touch /run/x)/NON-HLOS.ubi");
    EXPECT_EQ(steps[1].image_path, kRoot + "OP_OTA_P`id`/operatorpack.ubi");
}

TEST(Plan, NoGroupNoSteps) {
    payload_analysis analysis;
    EXPECT_EQ(quil_program_payload_analysis("path:/fw/", analysis), PayloadVerdict::no_group);
    EXPECT_TRUE(quil_fastboot_plan_steps(analysis).empty());
}

}  // namespace

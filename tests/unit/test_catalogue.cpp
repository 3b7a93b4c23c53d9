// SPDX-License-Identifier: GPL-2.0-or-later
// The module search and the port state probe against fake lsusb and lspci outputs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "module_catalogue.h"

namespace {

// Puts fake lsusb and lspci, which print the given lines, first on PATH.
class FakeBus : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quil-catalogue-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        old_path_ = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
        std::string path = dir_.string() + ":" + old_path_;
        setenv("PATH", path.c_str(), 1);
        set_lsusb({});
        set_lspci({});
        pthread_mutex_lock(&module_info_mutex);
        detected_module = DetectedModule{0, 0, "ERROR", -1};
        pthread_mutex_unlock(&module_info_mutex);
    }
    void TearDown() override {
        setenv("PATH", old_path_.c_str(), 1);
        std::filesystem::remove_all(dir_);
    }

    void write_tool(const std::string &tool, const std::vector<std::string> &lines) {
        std::ofstream(dir_ / (tool + ".out")) << join(lines);
        auto script = dir_ / tool;
        std::ofstream(script) << "#!/bin/sh\ncat '" << (dir_ / (tool + ".out")).string() << "'\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    }
    void set_lsusb(const std::vector<std::string> &ids) {
        std::vector<std::string> lines;
        int device = 1;
        for (const auto &id : ids)
            lines.push_back("Bus 001 Device 00" + std::to_string(device++) + ": ID " + id +
                            " Some Device");
        write_tool("lsusb", lines);
    }
    void set_lspci(const std::vector<std::string> &lines) { write_tool("lspci", lines); }

    static std::string join(const std::vector<std::string> &lines) {
        std::string text;
        for (const auto &line : lines)
            text += line + "\n";
        return text;
    }

    DetectedModule search(int expected_result) {
        int result = 42;
        EXPECT_EQ(quil_adapter_check_cellular(&result), 0);
        EXPECT_EQ(result, expected_result);
        return quil_adapter_read_detected_module();
    }

    std::filesystem::path dir_;
    std::string old_path_;
};

TEST_F(FakeBus, NoModule) {
    set_lsusb({"1d6b:0002"});
    DetectedModule found = search(-1);
    EXPECT_EQ(found.state, 1);
    EXPECT_EQ(found.bus, 0);
    EXPECT_STREQ(found.name, "ERROR");
    EXPECT_EQ(found.index, -1);
}

struct SearchCase {
    const char *name;
    std::vector<std::string> usb;
    std::vector<std::string> pci;
    const char *model;
    int index;
    int bus;
};

class SearchTable : public FakeBus, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(SearchTable, FindsTheRowThatWins) {
    const SearchCase &c = GetParam();
    set_lsusb(c.usb);
    set_lspci(c.pci);
    DetectedModule found = search(0);
    EXPECT_EQ(found.state, 2);
    EXPECT_STREQ(found.name, c.model);
    EXPECT_EQ(found.index, c.index);
    EXPECT_EQ(found.bus, c.bus);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SearchTable,
    ::testing::Values(
        SearchCase{"usb_first_row", {"3f1e:0a12"}, {}, "KT300-WW-00", 0, 1},
        SearchCase{"row_order_wins", {"3f1e:0a14", "3f1e:0a12"}, {}, "KT300-WW-00", 0, 1},
        SearchCase{"usb_third_row", {"3f1e:0a14"}, {}, "KT300-WW-00", 2, 1},
        SearchCase{"download_mode", {"05c6:9008"}, {}, "QC-EDL", 7, 1},
        SearchCase{"fastboot_mode", {"3f1e:f00f"}, {}, "QC-FASTBOOT", 8, 1},
        SearchCase{"usb_beats_pcie",
                   {"4a7d:8115"},
                   {"00:1c.0 Wireless controller [0d40]: Vendor [1eac:5e86]"},
                   "KT300-WW-00",
                   6,
                   1},
        SearchCase{"pcie_needs_both_texts",
                   {},
                   {"55:00.0 Wireless controller [0d40]: Vendor Device [1eac:5e86]"},
                   "KT500-WW-00",
                   9,
                   2},
        SearchCase{"pcie_texts_on_two_lines",
                   {},
                   {"00:1c.0 class [0d40]", "00:1d.0 id 5e86"},
                   "KT500-WW-00",
                   9,
                   2},
        SearchCase{"pcie_placeholder_row", {}, {"00:00.0 odd device xxxx"}, "K760-WW-16", 10, 2}),
    [](const ::testing::TestParamInfo<SearchCase> &info) { return std::string(info.param.name); });

TEST_F(FakeBus, IdMatchesAnywhereInTheLine) {
    write_tool("lsusb", {"Bus 002 Device 003: ID 1234:5678 Modem formerly 4a7d:8109"});
    DetectedModule found = search(0);
    EXPECT_EQ(found.index, 3);
}

TEST_F(FakeBus, PcieFirstTextAloneIsNotFound) {
    set_lspci({"00:1c.0 Wireless controller [0d40]: Vendor Device [1eac:1001]"});
    DetectedModule found = search(-1);
    EXPECT_EQ(found.state, 1);
}

TEST_F(FakeBus, MissingModuleKeepsTheLastName) {
    set_lsusb({"4a7d:8111"});
    search(0);
    set_lsusb({});
    DetectedModule found = search(-1);
    EXPECT_EQ(found.state, 1);
    EXPECT_STREQ(found.name, "KT300-WW-00");
    EXPECT_EQ(found.index, 4);
    EXPECT_EQ(found.bus, 1);
}

struct PortCase {
    const char *name;
    std::vector<std::string> usb;
    const char *expected;
};

class PortStateTable : public FakeBus, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortStateTable, ReportsTheMode) {
    set_lsusb(GetParam().usb);
    char result[PORT_STATE_SIZE];
    std::memset(result, 'x', sizeof(result));
    quillon_get_port_command_ready(result);
    EXPECT_STREQ(result, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    States, PortStateTable,
    ::testing::Values(PortCase{"normal", {"1d6b:0003", "3f1e:0a12"}, "normalport\n"},
                      PortCase{"normal_listed_later", {"4a7d:8109"}, "normalport\n"},
                      PortCase{"flash_after_normal", {"3f1e:0a12", "05c6:9008"}, "flashport\n"},
                      PortCase{"flash_before_normal", {"05c6:9008", "3f1e:0a12"}, "flashport\n"},
                      PortCase{"fastboot", {"3f1e:f00f"}, "fastbootport\n"},
                      PortCase{"unlisted_id", {"1d6b:0002", "8087:0026"}, "noport\n"},
                      PortCase{"nothing", {}, "noport\n"}),
    [](const ::testing::TestParamInfo<PortCase> &info) { return std::string(info.param.name); });

TEST(Catalogue, RowsFitTheirSearchCommands) {
    ASSERT_EQ(module_catalogue.size(), 11u);
    for (const auto &row : module_catalogue) {
        EXPECT_TRUE(row.bus == BUS_USB || row.bus == BUS_PCIE);
        EXPECT_LE(std::strlen(row.pidvid), 9u);
        EXPECT_LE(std::strlen(row.pci_id1), 4u);
        EXPECT_LE(std::strlen(row.pci_id2), 4u);
    }
}

}  // namespace

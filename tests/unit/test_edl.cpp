// SPDX-License-Identifier: GPL-2.0-or-later
// The pure parts of the EDL flash: the payload rules, the segment count of the
// rawprogram XML file, and the work space (copies, removal without following links).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <string_view>

#include "edl_payload.h"
#include "edl_segments.h"
#include "edl_work_space.h"

namespace fs = std::filesystem;

namespace {

struct PayloadCase {
    std::string_view payload;
    bool valid;
    std::string_view ap;
    std::string_view md;
};

TEST(QdlPayloadAnalysis, Table) {
    using namespace std::string_view_literals;
    const PayloadCase cases[] = {
        {"ap:A1;md:M1", true, "A1", "M1"},
        {"md:M1;ap:A1", true, "A1", "M1"},
        // A later field of a kind replaces an earlier one; other fields are ignored.
        {"ap:A1;md:M1;ap:A2;xx:yy", true, "A2", "M1"},
        {"ap:A1;md:M1;touch pwned", true, "A1", "M1"},
        // "ap" wins over "md" in one field; the value is the text after the first ":".
        {"apmd:A1;md:M:1", true, "A1", "M:1"},
        {"ap:A1;md:sub/dir", true, "A1", "sub/dir"},
        {"ap:A1;md:"
         "0123456789012345678901234567",
         true, "A1", "0123456789012345678901234567"},
        {"ap:A123;md:M1", true, "A123", "M1"},
        {"ap:A1;md:M1;"
         "012345678901234567890123456789012345678901234567890",
         true, "A1", "M1"},
        // Missing fields, no payload.
        {"", false, "", ""},
        {"ap:A1", false, "", ""},
        {"md:M1", false, "", ""},
        {"xx:A1;yy:M1", false, "", ""},
        // Fields and payload beyond their bounds.
        {"ap:A1234;md:M1", false, "", ""},
        {"ap:A1;md:"
         "01234567890123456789012345678",
         false, "", ""},
        {"ap:A1;md:M1;"
         "0123456789012345678901234567890123456789012345678901",
         false, "", ""},
        // Values that cannot name a package directory.
        {"ap:;md:M1", false, "", ""},
        {"ap;md:M1", false, "", ""},
        {"ap:A1;md:", false, "", ""},
        {"ap:../;md:M1", false, "", ""},
        {"ap:A1;md:M1/../../../etc", false, "", ""},
        {"ap:..;md:M1", false, "", ""},
        {"ap:A1;md:M1\ntouch x", false, "", ""},
        {"ap:A1;md:M1\rx", false, "", ""},
        {"ap:A\t;md:M1", false, "", ""},
        {"ap:A1;md:M1\x7f", false, "", ""},
        {"ap:A1;md:M\0"
         "1"sv,
         false, "", ""},
    };
    for (const PayloadCase &c : cases) {
        QdlPayload out;
        int ret = qdl_payload_analysis(c.payload, &out);
        EXPECT_EQ(ret == 0, c.valid) << "payload \"" << c.payload << "\"";
        if (c.valid && ret == 0) {
            EXPECT_EQ(out.ap, c.ap) << c.payload;
            EXPECT_EQ(out.md, c.md) << c.payload;
        }
    }
}

// Shell-special values are plain names here: they pass, and name no directory.
TEST(QdlPayloadAnalysis, ShellTextIsJustAName) {
    const std::string_view values[] = {"$(w)", "`w`", "a|b", "a&b", "a>x", "a b", "'a'", "\"a\""};
    for (std::string_view value : values) {
        QdlPayload out;
        std::string payload = "ap:" + std::string(value) + ";md:M1";
        ASSERT_EQ(qdl_payload_analysis(payload, &out), 0) << payload;
        EXPECT_EQ(out.ap, value);
    }
}

// A directory under /tmp removed with everything in it when the test ends.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "test_edl.XXXXXX").string();
        char *made = mkdtemp(pattern.data());
        if (made == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = made;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }

  private:
    fs::path path_;
};

void write_file(const fs::path &path, std::string_view text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct SegmentCase {
    const char *name;
    const char *xml;
    int count;
};

TEST(QdlSegments, CountsProgramElementsWithAFilename) {
    const SegmentCase cases[] = {
        {"siblings", "<data><program filename='a'/><program filename='b'/></data>", 2},
        {"nested", "<data><x><program filename='a'><program filename='b'/></program></x></data>",
         2},
        {"deep", "<data><a><b><c><d><program filename='z'/></d></c></b></a></data>", 1},
        {"empty and missing filename",
         "<data><program filename=''/><program/><program label='x'/>"
         "<program filename='ok'/></data>",
         1},
        {"other names",
         "<data><patch filename='a'/><programs filename='b'/><Program filename='c'/>"
         "<erase filename='d'/></data>",
         0},
        {"root named program", "<program filename='root'><program filename='a'/></program>", 2},
        {"root named anything", "<whatever><program filename='a'/></whatever>", 1},
        {"no segment", "<data/>", 0},
        {"text and comments",
         "<?xml version='1.0'?><!-- c --><data>text<program filename='a'/>more<!-- d -->"
         "<program filename='b'>x</program></data>",
         2},
        // An entity naming an earlier one once sent the count round the DTD for ever.
        {"entity references not followed",
         "<!DOCTYPE data [<!ENTITY e0 \"<program filename='a'/>\">"
         "<!ENTITY e1 \"&e0;&e0;\">]><data>&e1;<program filename='b'/></data>",
         1},
    };
    TempDir dir;
    for (const SegmentCase &c : cases) {
        fs::path file = dir.path() / "rawprogram.xml";
        write_file(file, c.xml);
        int count = -1;
        ASSERT_EQ(qdl_find_segments(file.c_str(), &count), 0) << c.name;
        EXPECT_EQ(count, c.count) << c.name;
    }
}

TEST(QdlSegments, UnparsableFile) {
    TempDir dir;
    fs::path file = dir.path() / "rawprogram.xml";
    const char *broken[] = {"<data><program filename='a'></data>", "", "not xml at all"};
    for (const char *text : broken) {
        write_file(file, text);
        int count = 7;
        EXPECT_EQ(qdl_find_segments(file.c_str(), &count), -1) << "\"" << text << "\"";
    }
    int count = 0;
    EXPECT_EQ(qdl_find_segments((dir.path() / "missing.xml").c_str(), &count), -1);
}

// A tree to remove with links to an outside directory, as the link itself and inside.
TEST(QdlRmdir, NeverFollowsALink) {
    TempDir dir;
    fs::path outside = dir.path() / "outside";
    fs::create_directories(outside / "sub");
    write_file(outside / "keep.txt", "keep");
    write_file(outside / "sub" / "keep2.txt", "keep");

    fs::path tree = dir.path() / "Maincode";
    fs::create_directories(tree / "a" / "b");
    write_file(tree / "stale.img", "x");
    write_file(tree / ".hidden", "x");
    write_file(tree / "a" / "b" / "f", "x");
    fs::create_directory_symlink(outside, tree / "link");
    fs::create_directory_symlink(outside / "sub", tree / "a" / "link2");
    fs::create_symlink(outside / "keep.txt", tree / "a" / "file_link");
    fs::create_symlink(dir.path() / "nowhere", tree / "dangling");

    EXPECT_EQ(qdl_rmdir((tree.string() + "/").c_str()), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_EQ(read_file(outside / "keep.txt"), "keep");
    EXPECT_EQ(read_file(outside / "sub" / "keep2.txt"), "keep");

    // The path itself a link to a directory: the link goes, the directory stays.
    fs::create_directory_symlink(outside, tree);
    EXPECT_EQ(qdl_rmdir((tree.string() + "/").c_str()), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_EQ(read_file(outside / "keep.txt"), "keep");
    EXPECT_EQ(read_file(outside / "sub" / "keep2.txt"), "keep");

    // Nothing there counts as removed.
    EXPECT_EQ(qdl_rmdir((tree.string() + "/").c_str()), 0);
}

std::set<std::string> names_in(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// A firmware package as qdl needs it.
struct Package {
    TempDir dir;
    std::string root = dir.path().string() + "/pkg/";
    std::string work_space = root + "Maincode/";
    Package() {
        fs::path pkg = root;
        for (const char *sub : {"A1", "M1", "basic_update_img", "download_agent"})
            fs::create_directories(pkg / sub);
        write_file(pkg / "A1" / "ap.img", "ap");
        write_file(pkg / "A1" / "shared.bin", "from A1");
        write_file(pkg / "A1" / ".dotfile", "hidden");
        write_file(pkg / "M1" / "md.img", "md");
        write_file(pkg / "M1" / "shared.bin", "from M1");
        write_file(pkg / "basic_update_img" / "patch_p2K_b128K.xml", "<patches/>");
        write_file(pkg / "download_agent" / "prog_nand_firehose_9x55.mbn", "agent");
        write_file(pkg / "rawprogram_nand_p2K_b128K.xml", "<data/>");
    }
};

TEST(QdlWorkSpace, CopiesTheTableIntoAPrivateDirectory) {
    Package p;
    fs::create_directories(p.work_space + "old");
    write_file(p.work_space + "stale.img", "stale");
    ASSERT_EQ(quillon_creat_qdl_work_space(p.root, p.work_space, {"A1", "M1"}), 0);
    EXPECT_EQ(
        names_in(p.work_space),
        (std::set<std::string>{"ap.img", "md.img", "shared.bin", "patch_p2K_b128K.xml",
                               "prog_nand_firehose_9x55.mbn", "rawprogram_nand_p2K_b128K.xml"}));
    // A later directory's file replaces one of the same name, as cp does.
    EXPECT_EQ(read_file(p.work_space + "shared.bin"), "from M1");
    EXPECT_EQ(read_file(p.work_space + "prog_nand_firehose_9x55.mbn"), "agent");
    struct stat st {};
    ASSERT_EQ(lstat(p.work_space.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST(QdlWorkSpace, LeftOverLinkIsRemovedNotFollowed) {
    Package p;
    fs::path outside = p.dir.path() / "outside";
    fs::create_directories(outside);
    write_file(outside / "keep.txt", "keep");
    fs::create_directory_symlink(outside, fs::path(p.root) / "Maincode");
    ASSERT_EQ(quillon_creat_qdl_work_space(p.root, p.work_space, {"A1", "M1"}), 0);
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(fs::path(p.root) / "Maincode")));
    EXPECT_EQ(names_in(outside), std::set<std::string>{"keep.txt"});
    EXPECT_EQ(names_in(p.work_space).count("keep.txt"), 0u);
}

struct CopyFault {
    const char *name;
    void (*make)(const fs::path &pkg);
};

TEST(QdlWorkSpace, ACopyFaultRemovesTheWorkSpace) {
    const CopyFault faults[] = {
        {"missing modem dir", [](const fs::path &pkg) { fs::remove_all(pkg / "M1"); }},
        {"only dot files",
         [](const fs::path &pkg) {
             fs::remove(pkg / "basic_update_img" / "patch_p2K_b128K.xml");
             write_file(pkg / "basic_update_img" / ".x", "x");
         }},
        {"subdirectory",
         [](const fs::path &pkg) { fs::create_directories(pkg / "download_agent" / "nested"); }},
        {"missing rawprogram",
         [](const fs::path &pkg) { fs::remove(pkg / "rawprogram_nand_p2K_b128K.xml"); }},
        {"rawprogram is a directory",
         [](const fs::path &pkg) {
             fs::remove(pkg / "rawprogram_nand_p2K_b128K.xml");
             fs::create_directories(pkg / "rawprogram_nand_p2K_b128K.xml");
         }},
    };
    for (const CopyFault &fault : faults) {
        Package p;
        fault.make(p.root);
        EXPECT_EQ(quillon_creat_qdl_work_space(p.root, p.work_space, {"A1", "M1"}), -1)
            << fault.name;
        EXPECT_FALSE(fs::exists(fs::symlink_status(p.work_space))) << fault.name;
    }
}

// A subdirectory fails its step after the other files were copied; later steps do not
// run.
TEST(QdlWorkSpace, SubdirectoryFailsItsStepAfterTheOtherFiles) {
    Package p;
    fs::create_directories(fs::path(p.root) / "A1" / "nested");
    fs::create_directories(p.work_space);
    EXPECT_EQ(copy_image(p.root, {"A1", "M1"}, p.work_space), -1);
    EXPECT_EQ(names_in(p.work_space), (std::set<std::string>{"ap.img", "shared.bin"}));
}

}  // namespace

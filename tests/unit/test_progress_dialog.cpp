// SPDX-License-Identifier: GPL-2.0-or-later
// The progress dialog's command and input lines, who it runs as, and the children the
// flashes start without a shell.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "child_process.h"
#include "progress_dialog.h"

namespace {

namespace fs = std::filesystem;

TEST(ProgressDialogLines, PercentageIsDigitsAndANewline) {
    const std::pair<int, const char *> cases[] = {
        {10, "10\n"}, {0, "0\n"}, {99, "99\n"}, {100, "100\n"}, {-5, "-5\n"}};
    for (const auto &[percentage, line] : cases)
        EXPECT_EQ(quil_progress_dialog_percentage_line(percentage), line) << percentage;
}

TEST(ProgressDialogLines, LabelsEndInOneRealNewline) {
    EXPECT_EQ(PROGRESS_LABEL_SUCCESS, "#The Modem upgrade Success!\\n\\n\n");
    EXPECT_EQ(PROGRESS_LABEL_FAILED, "#The Modem upgrade failed!\\n\\n\n");
}

TEST(ProgressDialogCommand, ArgumentsAsTheShellWouldHaveSplitThem) {
    std::vector<std::string> expected = {
        "/usr/bin/zenity",
        "--progress",
        "--text=<span font='13'>Downloading ...\\n\\n</span><span foreground='red' "
        "font='16'>Do not shut down or restart</span>",
        "--percentage=10",
        "--auto-close",
        "--no-cancel",
        "--width=600",
        "--title=ModemUpgrade"};
    EXPECT_EQ(quil_progress_dialog_argv(10), expected);
}

TEST(ProgressDialogCommand, EnvironmentTakesThePathWithoutItsLineEnd) {
    const std::pair<const char *, const char *> cases[] = {
        {"/run/user/1000/.mutter-Xwaylandauth.AB12\n", "/run/user/1000/.mutter-Xwaylandauth.AB12"},
        {"/run/user/1000/gdm/Xauthority", "/run/user/1000/gdm/Xauthority"},
        {"", ""},
        // Text a shell would have run stays one value.
        {"/run/user/1000/.mutter-Xwaylandauth$(id)\n", "/run/user/1000/.mutter-Xwaylandauth$(id)"},
    };
    for (const auto &[path, value] : cases) {
        std::vector<std::string> expected = {"DISPLAY=:0", "XDG_CURRENT_DESKTOP=ubuntu:GNOME",
                                             std::string("XAUTHORITY=") + value};
        EXPECT_EQ(quil_progress_dialog_environment(path), expected) << path;
    }
}

class DialogOwner : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quil-owner-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const char *name, uid_t uid, gid_t gid) {
        fs::path path = dir_ / name;
        std::ofstream(path) << "cookie";
        if (chown(path.c_str(), uid, gid) != 0)
            ADD_FAILURE() << "chown " << path;
        return path.string();
    }

    fs::path dir_;
};

TEST_F(DialogOwner, TheDesktopUserOwningARegularFile) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the file away";
    std::string path = file("auth", 4242, 4343);
    auto owner = quil_progress_dialog_owner(path + "\n");
    ASSERT_TRUE(owner.has_value());
    EXPECT_EQ(owner->uid, 4242u);
    EXPECT_EQ(owner->gid, 4343u);
    EXPECT_TRUE(owner->groups.empty());  // a user the system does not know: its gid only
}

TEST_F(DialogOwner, NoDialogForRootLinksDirectoriesOrNothing) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the file away";
    std::string user_file = file("user", 4242, 4343);
    std::string root_file = file("root", 0, 0);
    fs::path link = dir_ / "link";
    fs::create_symlink(user_file, link);
    if (lchown(link.c_str(), 4242, 4343) != 0)
        ADD_FAILURE() << "lchown";
    for (const std::string &path :
         {root_file, link.string(), dir_.string(), (dir_ / "missing").string(), std::string()})
        EXPECT_FALSE(quil_progress_dialog_owner(path).has_value()) << path;
}

TEST(ProgressDialogStream, ADialogThatHasGoneNeverDisturbsTheWriter) {
    quil::ChildSpec spec;
    spec.argv = {"true"};
    spec.input_pipe = true;
    std::string error;
    quil::ChildProcess child = quil::ChildProcess::start(spec, &error);
    ASSERT_TRUE(child) << error;
    ProgressDialog dialog(std::move(child));
    // The reader is gone once "true" has ended; SIGPIPE would end this process.
    std::string line(70000, 'x');
    for (int i = 0; i < 3; ++i) {
        quil_progress_dialog_set_text(dialog, line);
        quil_progress_dialog_flush(dialog);
    }
    EXPECT_EQ(quil_progress_dialog_close(dialog), 0);
    EXPECT_EQ(quil_progress_dialog_close(dialog), -1);
}

TEST(ChildProcess, OutputAndErrorMergedAndReadWhole) {
    quil::ChildSpec spec;
    spec.argv = {"sh", "-c", "head -c 300000 /dev/zero | tr '\\0' a; echo done >&2"};
    spec.output_pipe = true;
    std::string error;
    quil::ChildProcess child = quil::ChildProcess::start(spec, &error);
    ASSERT_TRUE(child) << error;
    std::string out = quil::read_to_end(child.output_fd());
    EXPECT_EQ(out.size(), 300005u);
    EXPECT_EQ(out.substr(out.size() - 5), "done\n");
    int status = child.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ChildProcess, ArgumentsReachTheToolUninterpreted) {
    quil::ChildSpec spec;
    spec.argv = {"printf", "%s|", "$(touch /tmp/quil-never)", "a;b", "`id`", "x y", "../z\n"};
    spec.env = {"QUIL_TEST_VALUE=$(id) ;"};
    spec.output_pipe = true;
    quil::ChildProcess child = quil::ChildProcess::start(spec, nullptr);
    ASSERT_TRUE(child);
    EXPECT_EQ(quil::read_to_end(child.output_fd()),
              "$(touch /tmp/quil-never)|a;b|`id`|x y|../z\n|");
    child.wait();
    EXPECT_FALSE(fs::exists("/tmp/quil-never"));

    spec.argv = {"sh", "-c", "printf %s \"$QUIL_TEST_VALUE\""};
    child = quil::ChildProcess::start(spec, nullptr);
    ASSERT_TRUE(child);
    EXPECT_EQ(quil::read_to_end(child.output_fd()), "$(id) ;");
}

TEST(ChildProcess, StopEndsTheWholeProcessGroup) {
    quil::ChildSpec spec;
    spec.argv = {"sh", "-c", "sleep 30 & echo $!; wait"};
    spec.output_pipe = true;
    quil::ChildProcess child = quil::ChildProcess::start(spec, nullptr);
    ASSERT_TRUE(child);
    char buf[32] = {};
    ASSERT_GT(read(child.output_fd(), buf, sizeof(buf) - 1), 0);
    pid_t grandchild = static_cast<pid_t>(std::atoi(buf));
    auto start = std::chrono::steady_clock::now();
    int status = child.stop(std::chrono::milliseconds(500));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(WIFSIGNALED(status));
    // The sleep went with its shell (it may linger as an unreaped zombie of init).
    for (int i = 0; i < 100 && kill(grandchild, 0) == 0; ++i)
        usleep(10000);
    std::ifstream stat("/proc/" + std::to_string(grandchild) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), {});
    EXPECT_TRUE(content.empty() || content.find(") Z") != std::string::npos) << content;
}

TEST(ChildProcess, CredentialsNeverLeaveTheToolRoot) {
    // A switch that would leave the child able to become root again ends it before the
    // tool runs.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    quil::ChildSpec spec;
    spec.argv = {"sh", "-c", "echo ran"};
    spec.output_pipe = true;
    spec.credentials = quil::ChildCredentials{0, 0, {}};
    quil::ChildProcess child = quil::ChildProcess::start(spec, nullptr);
    ASSERT_TRUE(child);
    EXPECT_EQ(quil::read_to_end(child.output_fd()), "");
    int status = child.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 126);
}

TEST(ChildProcess, RunsAsTheGivenUserAndGroup) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch";
    quil::ChildSpec spec;
    spec.argv = {"sh", "-c", "echo $(id -u) $(id -g) $(id -G)"};
    spec.output_pipe = true;
    spec.credentials = quil::ChildCredentials{4242, 4343, {}};
    quil::ChildProcess child = quil::ChildProcess::start(spec, nullptr);
    ASSERT_TRUE(child);
    EXPECT_EQ(quil::read_to_end(child.output_fd()), "4242 4343 4343\n");
}

}  // namespace

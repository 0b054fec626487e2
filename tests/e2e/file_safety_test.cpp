// What the built programs never do to a user's files: write over an input, let two outputs
// of a run land on one file, replace an existing file without --force, leave some pieces of
// a run that failed, or lose a replaced file's mode, owner, group, attributes (ACLs) and,
// when asked, its times.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/record_file.h"

namespace {

namespace fs = std::filesystem;
using l3test::runProgram;
using l3test::TempDir;

const std::string kSong = (fs::path(TEST_DATA_DIR) / "lame/m1_44k_joint_cbr128.mp3").string();
const std::string kOther = (fs::path(TEST_DATA_DIR) / "lame/m2_22k_joint_vbr5.mp3").string();

// Every file under dir (but the captured output) and its bytes; a directory as "/".
std::map<std::string, std::string> snapshot(const TempDir& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir.path(""))) {
        const std::string name = fs::relative(e.path(), dir.path("")).string();
        if (name == ".stdout" || name == ".stderr") continue;
        files[name] = e.is_directory() ? "/" : dir.readText(name);
    }
    return files;
}

// A folder holding a.mp3 and b.mp3 (two songs), song.mp3 and notes.svg (not a drawing).
void fillFolder(const TempDir& dir) {
    fs::copy_file(kSong, dir.path("a.mp3"));
    fs::copy_file(kOther, dir.path("b.mp3"));
    fs::copy_file(kSong, dir.path("song.mp3"));
    dir.write("notes.svg", {'h', 'i'});
    fs::create_directory(dir.path("d1"));
    fs::create_directory(dir.path("d2"));
    fs::create_directory(dir.path("od"));
    fs::copy_file(kSong, dir.path("d1/song.mp3"));
    fs::copy_file(kOther, dir.path("d2/song.mp3"));
}

// Each run is refused with its exit code before anything is written: every file stays as
// it was and none appears. The message names the file and the reason.
TEST(OutputRule, RefusedRunsWriteNothing) {
    struct Case {
        const char* setup;  // shell text run first
        const char* args;   // l3's arguments (or a whole command starting with a program)
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {"", "info --plot a.mp3 a.mp3", 1, "must end in .svg: a.mp3"},
        {"", "info --plot song.mp3 b.mp3", 1, "must end in .svg: song.mp3"},
        {"cp a.mp3 a.svg", "info --plot a.svg a.svg", 2, "names the input"},
        {"ln -s a.mp3 l.svg", "info --plot l.svg a.mp3", 2, "names the input"},
        {"", "info --plot notes.svg a.mp3", 2, "not an SVG drawing"},
        {"", "cut a.mp3 ./a.mp3", 2, "names the input"},
        {"ln a.mp3 hard.mp3", "gain -f -g 1 a.mp3 hard.mp3", 2, "names the input"},
        {"", "join -f -o a.mp3 b.mp3 a.mp3", 2, "names the input"},
        {"", "repack -o . a.mp3", 2, "names the input"},
        {"", "repack --in-place a.mp3 ./a.mp3", 2, "named twice"},
        {"", "repack a.mp3 b.mp3", 2, "b.mp3: exists; use --force"},
        {"mkdir two && cp a.mp3 b.mp3 two", "repack two/*.mp3", 2, "b.mp3: exists; use --force"},
        {"", "gain -g 1 a.mp3 song.mp3", 2, "song.mp3: exists"},
        {"", "repack -o od d1/song.mp3 d2/song.mp3", 2, "both d1/song.mp3 and d2/song.mp3"},
        {"", "repack -j 2 -f -o od d1/song.mp3 d2/song.mp3", 2, "both d1/song.mp3"},
        {"ln a.mp3 hard.mp3", "repack --in-place a.mp3", 2, "hard links"},
        {"mkdir w-2.mp3", "split --every 0.3 b.mp3 w-%d.mp3", 2, "w-2.mp3: is a directory"},
        {"ln -s b.mp3 w-3.mp3", "split -f --every 0.3 b.mp3 w-%d.mp3", 2, "names the input"},
        {"mkdir p1", "split --every 0.3 b.mp3 p%d/x.mp3", 2, "p2/x.mp3: cannot write"},
        {"", L3DISASSEMBLE_EXE " a.mp3 a.mp3 x.anc", 2, "it is the input file"},
        {"", L3DISASSEMBLE_EXE " a.mp3 x.rec ./x.rec", 2, "both outputs name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        TempDir dir;
        fillFolder(dir);
        if (*c.setup) {
            ASSERT_EQ(runProgram(dir, "sh", "-c " + l3test::shellQuote(c.setup)).exitCode, 0);
        }
        const auto before = snapshot(dir);
        const std::string args = c.args;
        const auto run = args[0] == '/' ? runProgram(dir, "sh", "-c " + l3test::shellQuote(args))
                                        : runProgram(dir, L3_EXE, args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_TRUE(snapshot(dir) == before);
    }
}

// Refused without --force, an existing output is replaced with it: the same bytes as a
// new file would get, and the replaced file's mode.
TEST(OutputRule, ForceReplacesAnExistingOutput) {
    TempDir dir;
    fillFolder(dir);
    ASSERT_EQ(runProgram(dir, L3_EXE, "repack a.mp3 new.mp3").exitCode, 0);
    ::chmod(dir.path("b.mp3").c_str(), 0640);
    const auto forced = runProgram(dir, L3_EXE, "repack -f a.mp3 b.mp3");
    ASSERT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_TRUE(dir.read("b.mp3") == dir.read("new.mp3"));
    struct stat info;
    ASSERT_EQ(::stat(dir.path("b.mp3").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    // A drawing is redrawn without --force.
    ASSERT_EQ(runProgram(dir, L3_EXE, "info --plot p.svg a.mp3").exitCode, 0);
    EXPECT_EQ(runProgram(dir, L3_EXE, "info --plot p.svg b.mp3").exitCode, 0);
}

// A file replaced in place keeps its mode, owner and group (as root), extended attributes
// and ACL (where the file system has them), and with --keep-times its times; its bytes are
// those a new output gets.
TEST(InPlace, KeepsWhatTheFileHad) {
    TempDir dir;
    fillFolder(dir);
    ASSERT_EQ(runProgram(dir, L3_EXE, "repack a.mp3 new.mp3").exitCode, 0);
    const std::string a = dir.path("a.mp3");
    ::chmod(a.c_str(), 0600);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(a.c_str(), 1234, 5678), 0);
    }
    const bool xattrs = ::setxattr(a.c_str(), "user.note", "mine", 4, 0) == 0;
    // An access ACL: owner rw, user 1234 r, group r, mask r, others nothing.
    const uint8_t acl[] = {2,    0,    0,    0,    1,    0,    6,    0,    0xFF, 0xFF, 0xFF,
                           0xFF, 2,    0,    4,    0,    0xD2, 4,    0,    0,    4,    0,
                           4,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0x10, 0,    4,    0,    0xFF,
                           0xFF, 0xFF, 0xFF, 0x20, 0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF};
    const bool acls = ::setxattr(a.c_str(), "system.posix_acl_access", acl, sizeof acl, 0) == 0;
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, a.c_str(), old, 0), 0);
    struct stat was;
    ASSERT_EQ(::stat(a.c_str(), &was), 0);

    const auto run = runProgram(dir, L3_EXE, "repack -q --in-place --keep-times a.mp3");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    struct stat now;
    ASSERT_EQ(::stat(a.c_str(), &now), 0);  // before reading it moves the access time
    EXPECT_NE(now.st_ino, was.st_ino);      // replaced, not rewritten
    EXPECT_EQ(now.st_mode, was.st_mode);
    EXPECT_EQ(now.st_uid, was.st_uid);
    EXPECT_EQ(now.st_gid, was.st_gid);
    EXPECT_EQ(now.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(now.st_atim.tv_sec, 1000000000);
    char value[64];
    if (xattrs) {
        EXPECT_EQ(::getxattr(a.c_str(), "user.note", value, sizeof value), 4);
    }
    if (acls) {
        EXPECT_EQ(::getxattr(a.c_str(), "system.posix_acl_access", value, sizeof value),
                  static_cast<ssize_t>(sizeof acl));
        EXPECT_EQ(std::memcmp(value, acl, sizeof acl), 0);
    }
    EXPECT_TRUE(dir.read("a.mp3") == dir.read("new.mp3"));
    // Without --keep-times the result is new.
    ASSERT_EQ(runProgram(dir, L3_EXE, "repack -q --in-place a.mp3").exitCode, 0);
    ASSERT_EQ(::stat(a.c_str(), &now), 0);
    EXPECT_GT(now.st_mtim.tv_sec, 1000000000);
    if (!root) GTEST_SKIP() << "the owner and group were kept only as this user's";
}

// l3disassemble replaces its outputs keeping their mode, and never writes over a file that
// happens to bear a temporary-looking name.
TEST(InPlace, DisassembleKeepsTheFilesItReplaces) {
    TempDir dir;
    fillFolder(dir);
    dir.write("x.rec", {1});
    dir.write("x.rec.part", {7});
    ::chmod(dir.path("x.rec").c_str(), 0604);
    ASSERT_EQ(runProgram(dir, L3DISASSEMBLE_EXE, "--quiet a.mp3 x.rec x.anc").exitCode, 0);
    struct stat info;
    ASSERT_EQ(::stat(dir.path("x.rec").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u);
    EXPECT_GT(info.st_size, 12);
    EXPECT_TRUE(dir.read("x.rec.part") == std::vector<uint8_t>{7});
}

// A batch writes each file whole or not at all, goes on after a failure and counts it.
TEST(Batch, EachFileWhollyOrNotAndTheTotalsCountFailures) {
    TempDir dir;
    fillFolder(dir);
    dir.write("text.mp3", {'n', 'o'});
    fs::create_directory(dir.path("out"));
    const auto run = runProgram(dir, L3_EXE, "repack -j 2 -o out a.mp3 text.mp3 b.mp3");
    EXPECT_EQ(run.exitCode, 3) << run.err;
    EXPECT_NE(run.err.find("text.mp3: no Layer III frame"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("total: 2 of 3 files repacked, 1 failed"), std::string::npos) << run.out;
    EXPECT_TRUE(dir.exists("out/a.mp3") && dir.exists("out/b.mp3"));
    EXPECT_FALSE(dir.exists("out/text.mp3"));
}

// gain in place: 0 steps touch nothing (same inode and times); a batch changes each file it
// can, as a gain into a new file does, and counts the one it cannot.
TEST(Batch, GainInPlace) {
    TempDir dir;
    fillFolder(dir);
    dir.write("text.mp3", {'n', 'o'});
    ASSERT_EQ(runProgram(dir, L3_EXE, "gain -g 2 a.mp3 louder.mp3").exitCode, 0);
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.path("a.mp3").c_str(), old, 0), 0);
    struct stat was, now;
    ASSERT_EQ(::stat(dir.path("a.mp3").c_str(), &was), 0);
    ASSERT_EQ(runProgram(dir, L3_EXE, "gain -g 0 --in-place a.mp3").exitCode, 0);
    ASSERT_EQ(::stat(dir.path("a.mp3").c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, was.st_ino);
    EXPECT_EQ(now.st_mtim.tv_sec, 1000000000);
    const auto run = runProgram(dir, L3_EXE, "gain -g 2 --in-place a.mp3 text.mp3 song.mp3");
    EXPECT_EQ(run.exitCode, 3) << run.err;
    EXPECT_NE(run.out.find("total: 2 of 3 files changed, 1 failed"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("a.mp3: +2 steps (+3.0 dB) in "), std::string::npos) << run.out;
    EXPECT_TRUE(dir.read("a.mp3") == dir.read("louder.mp3"));
    EXPECT_TRUE(dir.read("song.mp3") == dir.read("louder.mp3"));
    EXPECT_TRUE(dir.read("text.mp3") == (std::vector<uint8_t>{'n', 'o'}));
}

}  // namespace

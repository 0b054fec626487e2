// The built l3 over folder trees: which files -r takes and in what order, repack -r's mirror
// of a tree, --jsonl logs that a stopped run (a partial last line, kill -9) resumes without
// reporting a file twice or leaving one out, and the progress line, shown only on a
// terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/record_file.h"
#include "support/tools.h"

namespace {

namespace fs = std::filesystem;
using l3test::runProgram;
using l3test::shellQuote;
using l3test::TempDir;

const fs::path kLame = fs::path(TEST_DATA_DIR) / "lame";
const std::string kSong = (kLame / "m1_44k_joint_cbr128.mp3").string();
const std::string kOther = (kLame / "m2_22k_joint_vbr5.mp3").string();
const std::string kLayer2 = (fs::path(TEST_DATA_DIR) / "other/layer2.mp2").string();

l3test::ProgramResult l3(const TempDir& dir, const std::string& args) {
    return runProgram(dir, L3_EXE, args);
}

// The file at path over and over, to at least size bytes.
std::vector<uint8_t> repeated(const std::string& path, size_t size) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> one(std::istreambuf_iterator<char>(in), {});
    std::vector<uint8_t> bytes;
    while (bytes.size() < size) bytes.insert(bytes.end(), one.begin(), one.end());
    return bytes;
}

void copyTo(const TempDir& dir, const std::string& from, const std::string& name) {
    fs::create_directories(fs::path(dir.path(name)).parent_path());
    fs::copy_file(from, dir.path(name));
}

// A library whose names test the walk: upper case sorts before lower case (byte order), a
// folder "a" before "a.b", extensions in any case, a folder named like a song, files that
// are no songs, links to a folder and to a song (passed over), an empty folder, a damaged
// song and a Layer II file named .mp3.
void makeLibrary(const TempDir& dir) {
    copyTo(dir, kSong, "lib/B.mp3");
    copyTo(dir, kOther, "lib/a/z.Mp3");
    copyTo(dir, kSong, "lib/a/deep/x.MP3");
    copyTo(dir, kSong, "lib/a/x.mp3.bak");
    copyTo(dir, kOther, "lib/a.b/c.mp3");
    copyTo(dir, kOther, "lib/folder.mp3/inner.mp3");
    copyTo(dir, kLayer2, "lib/l2.mp3");
    copyTo(dir, kSong, "elsewhere/e.mp3");
    std::vector<uint8_t> cut = dir.read("lib/B.mp3");
    cut.resize(cut.size() - 100);
    dir.write("lib/cut.mp3", cut);
    dir.write("lib/a/notes.txt", {'h', 'i'});
    fs::create_directory(dir.path("lib/empty"));
    fs::create_directory_symlink("../elsewhere", dir.path("lib/linked"));
    fs::create_symlink("a/z.Mp3", dir.path("lib/flink.mp3"));
}

const std::vector<std::string> kLibraryOrder = {
    "lib/B.mp3",   "lib/a/deep/x.MP3",         "lib/a/z.Mp3", "lib/a.b/c.mp3",
    "lib/cut.mp3", "lib/folder.mp3/inner.mp3", "lib/l2.mp3",
};

// The lines of a text, without their newlines; a last line without one is left out.
std::vector<std::string> wholeLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

// The "file" of a log line (the tests' names need no escapes).
std::string fileOf(const std::string& line) {
    const std::string key = "{\"file\": \"";
    if (line.rfind(key, 0) != 0) return "?";
    return line.substr(key.size(), line.find('"', key.size()) - key.size());
}

std::vector<std::string> filesOf(const std::vector<std::string>& lines) {
    std::vector<std::string> files;
    for (const std::string& line : lines) files.push_back(fileOf(line));
    return files;
}

// The files whose verdict check's text output gives, in its order.
std::vector<std::string> checkedInText(const std::string& out) {
    std::vector<std::string> files;
    for (const std::string& line : wholeLines(out))
        if (!line.empty() && line[0] != ' ') files.push_back(line.substr(0, line.find(": ")));
    return files;
}

TEST(TreeWalk, TakesSongFilesInByteOrderAndPassesOverLinks) {
    TempDir dir;
    makeLibrary(dir);
    const auto text = l3(dir, "check -r lib");
    EXPECT_EQ(text.exitCode, 3) << text.err;  // cut.mp3 is damaged
    EXPECT_EQ(checkedInText(text.out), kLibraryOrder);
    const auto logged = l3(dir, "check --recursive --jsonl log lib");
    EXPECT_EQ(logged.exitCode, 3);
    EXPECT_EQ(filesOf(wholeLines(dir.readText("log"))), kLibraryOrder);
    // A file named is taken whatever its name, a folder named through a link is walked, and
    // without -r a folder is no file.
    const auto named = l3(dir, "check -r lib/a/notes.txt lib/linked lib/a.b");
    EXPECT_EQ(checkedInText(named.out),
              (std::vector<std::string>{"lib/a/notes.txt", "lib/linked/e.mp3", "lib/a.b/c.mp3"}));
    const auto plain = l3(dir, "check lib/a.b");
    EXPECT_EQ(plain.exitCode, 2);
    EXPECT_NE(plain.err.find("lib/a.b"), std::string::npos) << plain.err;
}

// repack -r -o DIR writes each song to its path below the folder named, below DIR: the same
// bytes as repacking it alone; a file that fails leaves nothing, no folder is made for
// files that are not songs, and an output folder inside the tree is not walked again.
TEST(TreeWalk, RepackMirrorsTheTree) {
    TempDir dir;
    makeLibrary(dir);
    const auto run = l3(dir, "repack -r -o out lib");
    EXPECT_EQ(run.exitCode, 4) << run.err;  // the cut song's Info frame no longer fits it
    std::vector<std::string> written;
    for (const auto& e : fs::recursive_directory_iterator(dir.path("out")))
        if (e.is_regular_file())
            written.push_back(fs::relative(e.path(), dir.path("out")).string());
    std::sort(written.begin(), written.end());
    const std::vector<std::string> expected = {"B.mp3", "a.b/c.mp3", "a/deep/x.MP3", "a/z.Mp3",
                                               "folder.mp3/inner.mp3"};
    EXPECT_EQ(written, expected);
    EXPECT_FALSE(dir.exists("out/empty"));
    for (const std::string& name : expected) {
        SCOPED_TRACE(name);
        ASSERT_EQ(l3(dir, "repack -f " + shellQuote("lib/" + name) + " alone.mp3").exitCode, 0);
        EXPECT_TRUE(dir.read("out/" + name) == dir.read("alone.mp3"));
    }
    // Into the tree itself: a second run does not take the first one's results as songs.
    ASSERT_EQ(l3(dir, "repack -r -o lib/a/small lib/a").exitCode, 0);
    const auto again = l3(dir, "repack -q -f -r -o lib/a/small lib/a");
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_FALSE(dir.exists("lib/a/small/small"));
    EXPECT_TRUE(dir.read("lib/a/small/z.Mp3") == dir.read("out/a/z.Mp3"));
}

TEST(TreeWalk, RepackRefusesBeforeWriting) {
    TempDir dir;
    copyTo(dir, kSong, "one/sub/s.mp3");
    copyTo(dir, kOther, "two/sub/s.mp3");
    const struct {
        const char* args;
        int exitCode;
        const char* message;
    } cases[] = {
        {"repack -r -o out one two", 2, "out/sub/s.mp3: would be written from both"},
        {"repack -r one", 1, "-r needs -o DIR or --in-place"},
        {"repack -r one out.mp3", 1, "-r needs -o DIR or --in-place"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto run = l3(dir, c.args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_FALSE(dir.exists("out"));
    }
}

// A run stopped anywhere, its log cut there (a partial last line), resumes: every song is
// in the log once, with the line a whole run gives it, and the exit code counts the
// songs skipped.
TEST(RunLog, CheckResumesFromAnyPointOfItsLog) {
    TempDir dir;
    makeLibrary(dir);
    ASSERT_EQ(l3(dir, "check -r --jsonl whole lib").exitCode, 3);
    const std::vector<std::string> whole = wholeLines(dir.readText("whole"));
    ASSERT_EQ(whole.size(), kLibraryOrder.size());
    for (size_t kept = 0; kept <= whole.size(); ++kept) {
        SCOPED_TRACE(kept);
        std::string log;
        for (size_t k = 0; k < kept; ++k) log += whole[k] + "\n";
        if (kept < whole.size()) log += whole[kept].substr(0, whole[kept].size() / 2);
        dir.write("log", std::vector<uint8_t>(log.begin(), log.end()));
        const auto run = l3(dir, "check -r --jsonl log lib");
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(wholeLines(dir.readText("log")), whole);
        EXPECT_EQ(checkedInText(run.out),
                  std::vector<std::string>(kLibraryOrder.begin() + static_cast<long>(kept),
                                           kLibraryOrder.end()));
        EXPECT_EQ(run.err.find("already in log skipped") != std::string::npos, kept > 0) << run.err;
    }
    // A song changed since its line is checked again; the others stay skipped.
    fs::last_write_time(dir.path("lib/a/z.Mp3"), fs::file_time_type::clock::now());
    const auto changed = l3(dir, "check -r --jsonl log lib");
    EXPECT_EQ(checkedInText(changed.out), std::vector<std::string>{"lib/a/z.Mp3"});
    EXPECT_EQ(filesOf(wholeLines(dir.readText("log"))).size(), whole.size() + 1);
    // A log a run holds is not written by another.
    const auto held = runProgram(
        dir, "sh",
        "-c " + shellQuote("exec 9>>log && flock 9 && " L3_EXE " check --jsonl log lib/B.mp3"));
    EXPECT_EQ(held.exitCode, 2);
    EXPECT_NE(held.err.find("log: in use by another run"), std::string::npos) << held.err;
}

// kill -9 at whatever moment, then a resumed run: each song reported once, none left out.
TEST(RunLog, CheckKilledMidwayResumes) {
    TempDir dir;
    const std::vector<uint8_t> song = repeated(kSong, size_t{3} << 20);
    std::vector<std::string> names;
    for (int k = 0; k < 24; ++k) {
        names.push_back("lib/s" + std::to_string(100 + k) + ".mp3");
        fs::create_directories(dir.path("lib"));
        dir.write(names.back(), song);
    }
    for (const char* wait : {"0.05", "0.2", "0.4"}) {
        SCOPED_TRACE(wait);
        fs::remove(dir.path("log"));
        const std::string stop = std::string(L3_EXE) +
                                 " check -r --jsonl log lib >/dev/null & p=$!; sleep " + wait +
                                 "; kill -9 $p; wait $p; true";
        ASSERT_EQ(runProgram(dir, "sh", "-c " + shellQuote(stop)).exitCode, 0);
        const auto resumed = l3(dir, "check -r --jsonl log lib");
        EXPECT_EQ(resumed.exitCode, 3);  // each copy's Info frame counts one copy
        EXPECT_EQ(filesOf(wholeLines(dir.readText("log"))), names);
        EXPECT_EQ(dir.readText("log").back(), '\n');
    }
}

// repack --in-place logs the result that replaced each song: a second run finds every song
// done and leaves every byte as the first run wrote it; with -o the results are not made
// again either.
TEST(RunLog, RepackInPlaceIsNotRepeated) {
    TempDir dir;
    copyTo(dir, kSong, "lib/a.mp3");
    copyTo(dir, kOther, "lib/sub/b.mp3");
    copyTo(dir, kLayer2, "lib/sub/c.mp3");
    const auto first = l3(dir, "repack -r --in-place --keep-times --jsonl log lib");
    EXPECT_EQ(first.exitCode, 3) << first.err;  // the Layer II file
    const auto a = dir.read("lib/a.mp3"), b = dir.read("lib/sub/b.mp3");
    EXPECT_LT(a.size(), fs::file_size(kSong));
    const auto second = l3(dir, "repack -r --in-place --jsonl log lib");
    EXPECT_EQ(second.exitCode, 3);
    EXPECT_EQ(second.out, "");
    EXPECT_NE(second.err.find("3 files already in log skipped"), std::string::npos) << second.err;
    EXPECT_TRUE(dir.read("lib/a.mp3") == a && dir.read("lib/sub/b.mp3") == b);
    EXPECT_EQ(filesOf(wholeLines(dir.readText("log"))),
              (std::vector<std::string>{"lib/a.mp3", "lib/sub/b.mp3", "lib/sub/c.mp3"}));

    ASSERT_EQ(l3(dir, "repack -r -o out --jsonl mirror lib/sub").exitCode, 3);
    const auto mirrored = l3(dir, "repack -r -o out --jsonl mirror lib/sub");
    EXPECT_EQ(mirrored.exitCode, 3) << mirrored.err;  // no "exists": b.mp3 is not written again
    EXPECT_EQ(filesOf(wholeLines(dir.readText("mirror"))),
              (std::vector<std::string>{"lib/sub/b.mp3", "lib/sub/c.mp3"}));
}

// On a terminal (script gives the run one) standard error shows the files done, the pace,
// the time left and the share of a long file read; elsewhere nothing.
TEST(Progress, OnlyOnATerminal) {
    L3_REQUIRE_TOOL("script");
    TempDir dir;
    for (int k = 0; k < 3; ++k) copyTo(dir, kSong, "lib/s" + std::to_string(k) + ".mp3");
    dir.write("lib/t.mp3", repeated(kSong, size_t{256} << 20));
    const auto start = std::chrono::steady_clock::now();
    const auto onTerminal = runProgram(
        dir, "script", "-qefc " + shellQuote(std::string(L3_EXE) + " check -r lib") + " /dev/null");
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    // The line is first drawn half a second into a run.
    if (took.count() < 0.8) GTEST_SKIP() << "the run took only " << took.count() << " s";
    EXPECT_NE(onTerminal.out.find("\r\033[K3/4 files, "), std::string::npos) << onTerminal.out;
    EXPECT_NE(onTerminal.out.find(" files/s, "), std::string::npos);
    EXPECT_NE(onTerminal.out.find(" left, this file "), std::string::npos);
    // The verdicts are not mixed with it: each starts a line of its own.
    EXPECT_NE(onTerminal.out.find("\r\033[Klib/t.mp3: damaged"), std::string::npos);
    const auto elsewhere = l3(dir, "check -r lib");
    EXPECT_EQ(elsewhere.err, "");
    EXPECT_EQ(checkedInText(elsewhere.out),
              (std::vector<std::string>{"lib/s0.mp3", "lib/s1.mp3", "lib/s2.mp3", "lib/t.mp3"}));
}

}  // namespace

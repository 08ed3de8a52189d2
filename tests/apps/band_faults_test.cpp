// Band tasks as a farm runs them, through the built `tessellon`: a band run
// again is the same file, a task killed while writing leaves no band file
// (and merge names the band), a full disk is an error that leaves nothing,
// and a render held to --max-memory stays within it and the stated overhead.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Bands.h"
#include "Shot.h"

namespace fs = std::filesystem;

namespace {

struct Ran {
    int Status = -1;
    std::string Err;
    long PeakKiB = 0;   // the child's peak resident memory
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Starts `tessellon args...` in `dir`, stderr into `dir`/err.
pid_t Start(const fs::path& dir, const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(127);
        const std::string err = (dir / "err").string();
        if (!std::freopen(err.c_str(), "w", stderr) || !std::freopen("/dev/null", "w", stdout)) ::_exit(127);
        std::vector<char*> argv{const_cast<char*>(TESSELLON_EXE)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(TESSELLON_EXE, argv.data());
        ::_exit(127);
    }
    return pid;
}

Ran Finish(const fs::path& dir, pid_t pid) {
    Ran ran;
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    ran.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ran.PeakKiB = usage.ru_maxrss;
    ran.Err = ReadAll(dir / "err");
    return ran;
}

Ran RunTask(const fs::path& dir, const std::vector<std::string>& args) { return Finish(dir, Start(dir, args)); }

class BandTasks : public ::testing::Test {
protected:
    // A panning shot of `frames` frames of width x height, float EXR.
    void MakeShot(int width, int height, int frames) {
        tessellon::ShotSpec shot;
        shot.FrameWidth = width;
        shot.FrameHeight = height;
        shot.FrameCount = frames;
        shot.Pan = width;
        shot.RollDegrees = 0.0;
        tessellon::WriteFrames(shot, tessellon::DrawScene(shot, 2), dir_.string(), "f.%04d.exr", 2);
        tessellon::WriteTrackFile(shot, (dir_ / "t.csv").string());
    }
    std::vector<std::string> Stitch(std::vector<std::string> more) const {
        std::vector<std::string> args = {"stitch", "--frames", "f.%04d.exr", "--track", "t.csv", "--quiet"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tessellon-band-tasks-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        ::umount2((dir_ / "small").c_str(), MNT_DETACH);
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

TEST_F(BandTasks, ABandRunAgainIsTheSameFileAndAKilledOneLeavesNone) {
    MakeShot(960, 540, 4);
    ASSERT_EQ(RunTask(dir_, Stitch({"--band", "1/2", "-o", "b1.exr"})).Status, 0);
    ASSERT_EQ(RunTask(dir_, Stitch({"--band", "1/2", "-o", "again.exr"})).Status, 0);
    EXPECT_EQ(ReadAll(dir_ / "b1.exr"), ReadAll(dir_ / "again.exr"));

    // Killed as soon as its file is begun: the pending file never becomes
    // the band file, and merge says which band is missing.
    const int watch = ::inotify_init();
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir_.c_str(), IN_CREATE), 0);
    const pid_t task = Start(dir_, Stitch({"--band", "0/2", "-o", "b0.exr", "--compression", "none"}));
    bool begun = false;
    while (!begun) {
        alignas(inotify_event) char events[4096];
        const ssize_t n = ::read(watch, events, sizeof events);
        ASSERT_GT(n, 0);
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->len > 0 && std::strstr(event->name, ".b0.tmp.")) begun = true;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    ::kill(task, SIGKILL);
    ::close(watch);
    EXPECT_EQ(Finish(dir_, task).Status, 128 + SIGKILL);
    EXPECT_FALSE(fs::exists(dir_ / "b0.exr"));
    const Ran merge = RunTask(dir_, {"merge", "-o", "out.exr", "b1.exr"});
    EXPECT_EQ(merge.Status, 2);
    EXPECT_NE(merge.Err.find("missing band 0/2"), std::string::npos) << merge.Err;
    EXPECT_FALSE(fs::exists(dir_ / "out.exr"));
}

TEST_F(BandTasks, AFullDiskIsAnErrorThatLeavesNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    MakeShot(960, 540, 2);
    fs::create_directories(dir_ / "small");
    if (::mount("tmpfs", (dir_ / "small").c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "no tmpfs: " << std::strerror(errno);
    const Ran band = RunTask(dir_, Stitch({"--band", "0/2", "-o", "small/b0.exr"}));
    EXPECT_EQ(band.Status, 2);
    EXPECT_NE(band.Err.find("small/b0.exr: cannot write"), std::string::npos) << band.Err;
    EXPECT_TRUE(fs::is_empty(dir_ / "small"));
}

// The one-pass render of this shot holds far more than the budget; held to
// it, the render in bands stays within it, the fixed overhead included, and
// writes the same file.
TEST_F(BandTasks, TheMemoryBudgetIsKept) {
    MakeShot(960, 540, 64);
    const Ran whole = RunTask(dir_, Stitch({"--method", "median", "-o", "one.exr"}));
    ASSERT_EQ(whole.Status, 0) << whole.Err;
    const long budget = 200L << 20;
    const Ran held = RunTask(dir_, Stitch({"--method", "median", "-o", "held.exr", "--max-memory", std::to_string(budget)}));
    ASSERT_EQ(held.Status, 0) << held.Err;
    EXPECT_NE(held.Err.find("bands to keep within 200.0 MiB"), std::string::npos) << held.Err;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Under the sanitizers their shadow memory and quarantine count too.
    EXPECT_GT(whole.PeakKiB * 1024L, budget + long(tessellon::FixedOverheadBytes));
    EXPECT_LE(held.PeakKiB * 1024L, budget);
#endif
    EXPECT_EQ(ReadAll(dir_ / "one.exr"), ReadAll(dir_ / "held.exr"));
}

}  // namespace

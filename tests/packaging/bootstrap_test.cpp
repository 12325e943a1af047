// The bootstrap's per-user game directory: where it is, and its first
// filling with the packaged launcher (the whole package is played end to end
// by scripts/package_test.sh).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>

#include "packaging/bootstrap/user_game_dir.h"
#include "tests/support/temp_dir_test.h"

namespace {

namespace b = quask::bootstrap;
namespace fs = std::filesystem;

// Sets or clears an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (m_old) {
            ::setenv(m_name, m_old->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

using quask_test::readFile;

class BootstrapTest : public quask_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        std::ofstream(at("packaged"), std::ios::binary) << std::string(200000, 'L') << "launcher";
    }
    // The directory's entries, "." files included.
    std::set<std::string> entries(const std::string& dir) {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
        return names;
    }
};

TEST(BootstrapDirectory, XdgDataHomeWhenAbsoluteElseTheHomesLocalShare) {
    struct Row {
        std::optional<std::string> xdg;
        std::string expected;
    };
    const Row rows[] = {
        {std::string("/data/x"), "/data/x/quask"},
        {std::nullopt, "/home/p/.local/share/quask"},
        {std::string(""), "/home/p/.local/share/quask"},
        {std::string("relative/data"), "/home/p/.local/share/quask"},  // not absolute: ignored
    };
    ScopedEnv home("HOME", std::string("/home/p"));
    for (const Row& row : rows) {
        ScopedEnv xdg("XDG_DATA_HOME", row.xdg);
        EXPECT_EQ(b::userGameDirectory(), row.expected) << row.xdg.value_or("(unset)");
    }
}

TEST(BootstrapDirectory, PackagedProgramsAreFoundFromTheBootstrapsFolder) {
    EXPECT_EQ(b::packagedProgramDirectory("/usr/games"), "/usr/lib/quask");
    EXPECT_EQ(b::packagedProgramDirectory("/tmp/root/usr/games"), "/tmp/root/usr/lib/quask");
}

TEST_F(BootstrapTest, FirstSeedCopiesOnlyTheLauncherAndLaterOnesLeaveItAlone) {
    const std::string game = at("home/.local/share/quask");
    std::string error;
    ASSERT_EQ(b::seedGameDirectory(game, at("packaged"), &error), b::SeedStatus::Seeded) << error;
    EXPECT_EQ(entries(game), std::set<std::string>{"quillon"});
    EXPECT_EQ(readFile(game + "/quillon"), readFile(at("packaged")));
    struct stat st {};
    ASSERT_EQ(::stat((game + "/quillon").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0111, 0111u);

    // A launcher that patched itself is what later starts run; one that
    // cannot be started (a broken update, a cut-off copy, one that may not
    // be run) is seeded again.
    const std::string program = readFile("/bin/true") + "patched";
    const struct {
        const char* what;
        std::string launcher;
        unsigned mode;
        b::SeedStatus status;
    } rows[] = {
        {"patched", program, 0755, b::SeedStatus::Present},
        {"a text file", "patched", 0755, b::SeedStatus::Repaired},
        {"cut off", program.substr(0, program.size() / 3), 0755, b::SeedStatus::Repaired},
        {"not executable", program, 0644, b::SeedStatus::Repaired},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(game + "/quillon");
        std::ofstream(game + "/quillon", std::ios::binary) << row.launcher;
        fs::permissions(game + "/quillon", fs::perms(row.mode));
        ASSERT_EQ(b::seedGameDirectory(game, at("packaged"), &error), row.status) << error;
        EXPECT_EQ(readFile(game + "/quillon"), row.status == b::SeedStatus::Present ? row.launcher : readFile(at("packaged")));
        EXPECT_EQ(entries(game), std::set<std::string>{"quillon"});
    }
}

TEST_F(BootstrapTest, FailuresSayWhyAndLeaveNoHalfLauncher) {
    std::string error;
    EXPECT_EQ(b::seedGameDirectory(at("game"), at("missing"), &error), b::SeedStatus::Failed);
    EXPECT_NE(error.find("cannot read the installed launcher " + at("missing")), std::string::npos) << error;
    EXPECT_TRUE(entries(at("game")).empty());

    std::ofstream(at("file")) << "x";
    error.clear();
    EXPECT_EQ(b::seedGameDirectory(at("file/quask"), at("packaged"), &error), b::SeedStatus::Failed);
    EXPECT_NE(error.find("cannot create the game directory"), std::string::npos) << error;

    // A game directory linked to a drive that is not mounted: nothing is
    // made where the link leads.
    fs::create_symlink(at("unmounted/quask"), at("linked"));
    error.clear();
    EXPECT_EQ(b::seedGameDirectory(at("linked"), at("packaged"), &error), b::SeedStatus::Failed);
    EXPECT_NE(error.find(at("linked") + ": it is a link to " + at("unmounted/quask") + ", which does not exist"),
              std::string::npos)
        << error;
    EXPECT_FALSE(fs::exists(at("unmounted")));
}

TEST_F(BootstrapTest, BootstrapsStartedAtOnceSeedOnceAndLeaveNoStagingFiles) {
    const std::string game = at("game");
    constexpr int kRacers = 8;
    pid_t pids[kRacers];
    for (pid_t& pid : pids) {
        pid = ::fork();
        if (pid == 0) {
            std::string error;
            ::_exit(static_cast<int>(b::seedGameDirectory(game, at("packaged"), &error)));
        }
        ASSERT_GT(pid, 0);
    }
    int seeded = 0;
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        const auto result = static_cast<b::SeedStatus>(WEXITSTATUS(status));
        EXPECT_NE(result, b::SeedStatus::Failed);
        if (result == b::SeedStatus::Seeded) ++seeded;
    }
    EXPECT_EQ(seeded, 1);
    EXPECT_EQ(entries(game), std::set<std::string>{"quillon"});
    EXPECT_EQ(readFile(game + "/quillon"), readFile(at("packaged")));
}

}  // namespace

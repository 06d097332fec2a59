#include "platform/linux/KeyFileUserDefaults.h"

#include "fakes/FakeMainLoop.h"
#include "platform/linux/GLibRegistrations.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace lullswitch::linux_backend {
namespace {

namespace fs = std::filesystem;
using platform::StoredObject;
using Strings = std::vector<std::string>;

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), {} };
}

// As an editor that truncates and rewrites in place, or (`byRename`) one
// that saves a new file and renames it over the old one.
void writeFile(const fs::path& path, const std::string& contents, bool byRename = false)
{
    fs::create_directories(path.parent_path());
    const fs::path written = byRename ? fs::path(path.string() + "~") : path;
    std::ofstream(written, std::ios::binary | std::ios::trunc) << contents;
    if (byRename)
        fs::rename(written, path);
}

class KeyFileUserDefaultsTest : public ::testing::Test {
protected:
    ~KeyFileUserDefaultsTest() override { fs::remove_all(root, removeError); }

    // Without kernel notices unless asked: the test drives the tick.
    KeyFileUserDefaults::Options options(bool useKernelNotices = false)
    {
        return { [this](auto, const std::string& message) { reports.push_back(message); }, [this] { return now; },
            useKernelNotices };
    }
    double mtimeOf(const fs::path& file) const { return FileIdentity::ofPath(file).modifiedSeconds(); }
    long entries() const { return std::distance(fs::directory_iterator(directory), {}); }

    fs::path root = GMallocPtr<char>(g_dir_make_tmp("lullswitch-prefs-XXXXXX", nullptr)).get();
    fs::path directory = root / "config" / "lullswitch";
    fs::path path = directory / "preferences.ini";
    std::error_code removeError;
    Strings log;
    fakes::FakeMainLoop loop { log };
    // Every file the test writes settled long ago, unless a test says not.
    double now = static_cast<double>(g_get_real_time()) / G_USEC_PER_SEC + 3600;
    Strings reports;
};

TEST(KeyFileUserDefaultsPath, FollowsXdgConfigHome)
{
    const std::pair<const char*, const char*> cases[] = {
        { "/xdg/config", "/xdg/config/lullswitch/preferences.ini" },
        // Relative paths are invalid there and ignored.
        { "relative/config", "/home/ayu/.config/lullswitch/preferences.ini" },
    };
    ::setenv("HOME", "/home/ayu", 1);
    for (const auto& [configHome, expected] : cases) {
        ::setenv("XDG_CONFIG_HOME", configHome, 1);
        EXPECT_EQ(KeyFileUserDefaults::defaultPath(), expected) << configHome;
    }
}

// How a value written by hand reads; reading never rewrites it.
TEST_F(KeyFileUserDefaultsTest, ReportsStoredForms)
{
    const struct {
        std::string value;
        StoredObject expected;
        double number;
    } cases[] = {
        { "true", StoredObject(true), 1.0 },
        { "false  ", StoredObject(false), 0.0 },
        { "1", StoredObject(1.0), 1.0 },
        { "3abc", StoredObject("3abc"), 0.0 },
        { "two\\swords", StoredObject("two words"), 0.0 },
        { "\xff\xfe", StoredObject("\xff\xfe"), 0.0 },
    };
    KeyFileUserDefaults store(path.string(), loop, options());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string contents = "[Lullswitch]\nisEnabled=" + c.value + "\n[Other]\ndelaySeconds=3\n";
        writeFile(path, contents, true);
        EXPECT_TRUE(store.object("isEnabled") == c.expected);
        EXPECT_EQ(store.doubleValue("isEnabled"), c.number);
        EXPECT_TRUE(store.object("delaySeconds").isAbsent()) << "only the application's group counts";
        EXPECT_EQ(readFile(path), contents);
    }
}

// Reading creates nothing; the first write makes a private directory and
// file, short enough to edit by hand; values come back bit for bit; what the
// store does not know is kept as it was, a byte-order mark too.
TEST_F(KeyFileUserDefaultsTest, WritesAPrivateFileAndKeepsWhatItDoesNotKnow)
{
    ::umask(0);
    KeyFileUserDefaults store(path.string(), loop, options());
    EXPECT_TRUE(store.object("isEnabled").isAbsent());
    EXPECT_FALSE(fs::exists(root / "config"));
    store.setBool(true, "isEnabled");
    store.setDouble(0.1, "delaySeconds");
    EXPECT_EQ(readFile(path), "[Lullswitch]\nisEnabled=true\ndelaySeconds=0.1\n");
    EXPECT_EQ(fs::status(directory).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    for (double value :
        { 1.0 / 3.0, -0.0, std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::infinity() }) {
        store.setDouble(value, "delaySeconds");
        const auto read = KeyFileUserDefaults(path.string(), loop).object("delaySeconds");
        ASSERT_NE(read.number(), nullptr);
        EXPECT_EQ(std::memcmp(read.number(), &value, sizeof value), 0) << value << " came back as " << *read.number();
    }

    const std::string original = "\xEF\xBB\xBF# Edited by hand.\n\n[Lullswitch]\n# in seconds\ndelaySeconds=3\n"
                                 "futureKey=kept\nName[fr]=Retour\n\n[Elsewhere]\n# another tool's section\nx=1;2;3\n";
    EXPECT_TRUE(store.object("futureKey").isAbsent());
    writeFile(path, original, true);
    EXPECT_TRUE(store.object("futureKey") == StoredObject("kept"));
    store.setDouble(5.0, "delaySeconds");
    std::string expected = original;
    expected.replace(expected.find("delaySeconds=3"), 14, "delaySeconds=5");
    EXPECT_EQ(readFile(path), expected);
}

// Every way another program changes the file is read and announced at the
// next tick of the monitor, whether or not the store is read meanwhile;
// this process's own writes are neither parsed back nor announced.
TEST_F(KeyFileUserDefaultsTest, EveryChangeIsAnnouncedAtTheNextTick)
{
    writeFile(path, "[Lullswitch]\ndelaySeconds=3\n");
    KeyFileUserDefaults store(path.string(), loop, options());
    int notices = 0;
    store.setOnExternalChange([&] { ++notices; });
    EXPECT_EQ(store.doubleValue("delaySeconds"), 3.0);
    const fs::path elsewhere = root / "dotfiles" / "preferences.ini";
    const struct {
        std::function<void()> edit;
        double delay;
        int notices;
    } edits[] = {
        { [&] { writeFile(path, "[Lullswitch]\ndelaySeconds=4\n", true); }, 4.0, 1 },
        { [&] { writeFile(path, "[Lullswitch]\ndelaySeconds=12.5\n"); }, 12.5, 2 },
        { [&] { fs::remove(path); }, 0.0, 3 },
        { [&] { store.setDouble(8.0, "delaySeconds"); }, 8.0, 3 },
        { [&] { fs::permissions(path, fs::perms::owner_read); }, 8.0, 4 },
        { [&] {
             fs::remove_all(directory);
             writeFile(path, "[Lullswitch]\ndelaySeconds=5\n");
         },
            5.0, 5 },
        { [&] {
             fs::rename(root / "config", root / "config.bak");
             writeFile(path, "[Lullswitch]\ndelaySeconds=6\n");
         },
            6.0, 6 },
        { [&] {
             fs::remove(path);
             writeFile(elsewhere, "[Lullswitch]\ndelaySeconds=7\n");
             fs::create_symlink(elsewhere, path);
         },
            7.0, 7 },
        { [&] { writeFile(elsewhere, "[Lullswitch]\ndelaySeconds=9\n"); }, 9.0, 8 },
    };
    for (const auto& e : edits) {
        SCOPED_TRACE(&e - edits);
        e.edit();
        if ((&e - edits) % 2 == 1) {
            EXPECT_EQ(store.doubleValue("delaySeconds"), e.delay) << "seen at the next read";
        }
        loop.fire();
        EXPECT_EQ(store.doubleValue("delaySeconds"), e.delay);
        EXPECT_EQ(notices, e.notices);
    }
    EXPECT_EQ(store.parseCount(), 8u) << "each change parsed once, its own write not at all";
}

// Where the kernel can tell, a change is read and announced before any tick.
TEST_F(KeyFileUserDefaultsTest, KernelNoticesComeBeforeTheTick)
{
    writeFile(path, "[Lullswitch]\ndelaySeconds=3\n");
    KeyFileUserDefaults store(path.string(), loop, options(true));
    std::vector<double> seen { 0 };
    store.setOnExternalChange([&] { seen.push_back(store.doubleValue("delaySeconds")); });
    EXPECT_EQ(store.doubleValue("delaySeconds"), 3.0);
    ASSERT_TRUE(store.hasKernelNotices());
    const auto arrives = [&](double delay) {
        bool isLate = false;
        const auto deadline = ScheduledCall::after(5000, [&] { isLate = true; });
        while (seen.back() != delay && !isLate)
            g_main_context_iteration(nullptr, TRUE);
        return seen.back() == delay;
    };
    const fs::path elsewhere = root / "dotfiles" / "preferences.ini";
    writeFile(path, "[Lullswitch]\ndelaySeconds=4\n", true);
    EXPECT_TRUE(arrives(4.0));
    store.setDouble(5.0, "delaySeconds");
    writeFile(path, "[Lullswitch]\ndelaySeconds=6\n");
    EXPECT_TRUE(arrives(6.0));
    EXPECT_THAT(seen, ::testing::Not(::testing::Contains(5.0))) << "its own write is not announced";
    writeFile(elsewhere, "[Lullswitch]\ndelaySeconds=7\n");
    fs::remove(path);
    fs::create_symlink(elsewhere, path);
    EXPECT_TRUE(arrives(7.0));
    writeFile(elsewhere, "[Lullswitch]\ndelaySeconds=9\n");
    EXPECT_TRUE(arrives(9.0)) << "the folder a symlink leads to is watched too";
}

// How the user set the file up is kept. What cannot be written (a read-only
// file or directory, a FIFO in its place) or read (mode 000) is left alone
// without blocking, this run keeps the value, and each cause is said once.
TEST_F(KeyFileUserDefaultsTest, SavesKeepTheFilesSetUpOrSayWhyNot)
{
    // As nobody, in a child, when the test runs as root: permission checks
    // do not bind root.
    if (::geteuid() == 0) {
        fs::permissions(root, fs::perms(0711));
        ASSERT_EQ(::chown(root.c_str(), 65534, 65534), 0);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        const std::string original = "[Lullswitch]\ndelaySeconds=3\n";
        const std::string written = "[Lullswitch]\ndelaySeconds=1\n";
        const fs::path target = root / "dotfiles" / "preferences.ini";
        enum class Kind { file, link, dangling, lockedDirectory, fifo };
        const struct {
            Kind kind;
            fs::perms mode;
            std::string after; // "" when no regular file
            std::string failure; // "" when the save works
        } cases[] = {
            { Kind::link, fs::perms(0644), written, "" },
            { Kind::dangling, fs::perms(0600), written, "" },
            { Kind::file, fs::perms::none, original, "Permission denied" },
            { Kind::file, fs::perms(0444), original, "the file is read-only" },
            { Kind::lockedDirectory, fs::perms(0600), original, "Permission denied" },
            { Kind::fifo, fs::perms(0600), "", "it is not a regular file" },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(static_cast<int>(&c - cases));
            fs::remove_all(root / "dotfiles");
            fs::remove_all(directory);
            fs::create_directories(directory);
            const bool isLink = c.kind == Kind::link || c.kind == Kind::dangling;
            const fs::path file = isLink ? target : path;
            if (c.kind == Kind::fifo)
                EXPECT_EQ(::mkfifo(file.c_str(), 0600), 0);
            else if (c.kind != Kind::dangling)
                writeFile(file, original);
            if (c.kind != Kind::dangling)
                fs::permissions(file, c.mode);
            if (isLink)
                fs::create_symlink(target, path);
            if (c.kind == Kind::lockedDirectory)
                fs::permissions(directory, fs::perms(0500));
            reports.clear();
            KeyFileUserDefaults store(path.string(), loop, options());
            store.object("delaySeconds"); // a read before must not outlive the write
            store.setDouble(1.0, "delaySeconds");
            store.setDouble(1.0, "delaySeconds");
            EXPECT_EQ(store.doubleValue("delaySeconds"), 1.0) << "this run keeps what it was told";
            EXPECT_EQ(fs::status(file).permissions(), c.mode);
            fs::permissions(file, fs::perms::owner_read, fs::perm_options::add);
            EXPECT_EQ(c.after.empty() ? "" : readFile(file), c.after);
            EXPECT_EQ(entries(), 1);
            Strings expected;
            if (c.mode == fs::perms::none)
                expected.push_back("lullswitch: cannot read the settings in " + path.string()
                    + " (Permission denied); the values in use stay");
            if (!c.failure.empty())
                expected.push_back("lullswitch: cannot save the setting in " + file.string() + " (" + c.failure
                    + "); it holds only until the agent quits");
            EXPECT_EQ(reports, expected);
            fs::permissions(directory, fs::perms::owner_all);
        }
        std::fflush(stdout);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// Contents that are not a key file read as empty; the first write moves
// them aside byte for byte, each under a name of its own.
TEST_F(KeyFileUserDefaultsTest, UnparseableFilesReadAsEmptyAndAreMovedAside)
{
    const char withNul[] = "[Lullswitch]\nisEnabled=false\n\0junk\n";
    const Strings cases = {
        "isEnabled=false\n",
        std::string(withNul, sizeof withNul - 1),
        "[Lullswitch]\nisEnabled=false\n" + std::string(KeyFileSnapshot::maximumSize, '#'),
    };
    for (const auto& contents : cases) {
        writeFile(path, contents, true);
        KeyFileUserDefaults store(path.string(), loop, options());
        EXPECT_TRUE(store.object("isEnabled").isAbsent());
        store.setBool(true, "isEnabled");
        EXPECT_EQ(readFile(path), "[Lullswitch]\nisEnabled=true\n");
    }
    Strings aside;
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path() != path)
            aside.push_back(readFile(entry.path()));
    EXPECT_THAT(aside, ::testing::UnorderedElementsAreArray(cases));
}

// A click while another program is still writing the file in place (cut
// mid-line or at a line end) shows at once and is written once the file has
// settled, into what that program wrote. A file that never settles is
// written after the last retry if it parses, and is never moved aside.
TEST_F(KeyFileUserDefaultsTest, AWriteWaitsForAFileStillBeingWritten)
{
    const struct {
        std::string first, rest;
        int ticksToWrite; // -1: the writer never finishes
    } cases[] = {
        { "[Lullswitch]\ndelaySeconds=5\nwri", "ter=1\n", 1 },
        { "[Lullswitch]\ndelaySeconds=5\n", "writer=1\n", 1 },
        { "[Lullswitch]\ndelaySeconds=5\nwriter=1\n", "", KeyFileUserDefaults::maximumRetries },
        { "[Lullswitch]\ndelaySeconds=5\nwri", "", -1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first + c.rest);
        fs::remove_all(directory);
        fs::create_directories(directory);
        const int writer = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_EQ(::write(writer, c.first.data(), c.first.size()), static_cast<ssize_t>(c.first.size()));
        now = mtimeOf(path) + 0.1;
        KeyFileUserDefaults store(path.string(), loop, options());
        store.setBool(false, "isEnabled");
        EXPECT_TRUE(store.object("isEnabled") == StoredObject(false)) << "shown at once";
        for (int tick = 1; tick < (c.ticksToWrite < 0 ? 20 : c.ticksToWrite); ++tick)
            loop.fire();
        EXPECT_EQ(readFile(path), c.first) << "not written while it is being written";
        EXPECT_EQ(entries(), 1);
        if (!c.rest.empty()) {
            ASSERT_EQ(::write(writer, c.rest.data(), c.rest.size()), static_cast<ssize_t>(c.rest.size()));
            now += KeyFileSnapshot::settleSeconds;
        }
        ::close(writer);
        loop.fire();
        EXPECT_EQ(
            readFile(path), c.ticksToWrite < 0 ? c.first : "[Lullswitch]\ndelaySeconds=5\nwriter=1\nisEnabled=false\n");
        EXPECT_TRUE(store.object("isEnabled") == StoredObject(false));
    }
}

// Another program rewrites the file every 2 ms while the user toggles 300
// times: no write of this store puts back older contents of that program's
// or drops a key because it caught the file empty.
TEST_F(KeyFileUserDefaultsTest, WritesNeverUndoAConcurrentWriter)
{
    for (const bool inPlace : { false, true }) {
        SCOPED_TRACE(inPlace ? "truncating writer" : "replacing writer");
        writeFile(path, "[Lullswitch]\nisEnabled=true\ndelaySeconds=3\nwriter=0\n");
        // Shared with the writer: stop flag, stale contents seen, keys lost.
        auto* shared = static_cast<std::atomic<int>*>(
            ::mmap(nullptr, 3 * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        const pid_t writer = ::fork();
        if (writer == 0) {
            for (int version = 1; !shared[0]; ++version) {
                GKeyFilePtr file(g_key_file_new());
                if (g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, nullptr)) {
                    if (g_key_file_get_integer(file.get(), "Lullswitch", "writer", nullptr) < version - 1)
                        ++shared[1];
                    if (!g_key_file_has_key(file.get(), "Lullswitch", "delaySeconds", nullptr))
                        ++shared[2];
                }
                g_key_file_set_integer(file.get(), "Lullswitch", "writer", version);
                g_key_file_set_integer(file.get(), "Lullswitch", "delaySeconds", 3);
                GMallocPtr<char> data(g_key_file_to_data(file.get(), nullptr, nullptr));
                writeFile(path, data.get(), !inPlace);
                ::usleep(2000);
            }
            ::_exit(0);
        }
        KeyFileUserDefaults store(path.string(), loop, options());
        for (int toggle = 0; toggle < 300; ++toggle) {
            store.setBool(toggle % 2 == 0, "isEnabled");
            loop.fire();
        }
        shared[0] = 1;
        ::waitpid(writer, nullptr, 0);
        // A truncating writer still loses an edit it makes to the file in
        // the microseconds that file is being swapped out (up to a dozen of
        // 300 on a loaded machine; 184 before writes were checked). A
        // replacing writer may read this store's file in the moment before
        // it is swapped back out of the way of that writer's newer one (once
        // in a few runs under load; 214 before).
        EXPECT_LE(shared[1], inPlace ? 30 : 3) << "older contents put back";
        EXPECT_EQ(shared[2], 0) << "a key dropped";
        ::munmap(shared, 3 * sizeof(std::atomic<int>));
    }
}

} // namespace
} // namespace lullswitch::linux_backend

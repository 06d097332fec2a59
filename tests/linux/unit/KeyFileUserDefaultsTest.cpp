#include "platform/linux/KeyFileUserDefaults.h"
#include "settings/SettingsStore.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
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
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

// In place, as an editor that truncates and rewrites.
void writeInPlace(const fs::path& path, const std::string& contents)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

// As an editor that saves to a new file and renames it over the old one.
void replaceFile(const fs::path& path, const std::string& contents)
{
    writeInPlace(path.string() + ".editor", contents);
    fs::rename(path.string() + ".editor", path);
}

// Dispatches what the kernel has reported, as the main loop does before the
// next tick.
void settle()
{
    while (g_main_context_iteration(nullptr, FALSE)) { }
}

Strings namesIn(const fs::path& directory)
{
    Strings names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Equal, counting NaN as equal to NaN.
bool isSameObject(const StoredObject& a, const StoredObject& b)
{
    if (a.number() && b.number() && std::isnan(*a.number()) && std::isnan(*b.number()))
        return true;
    return a == b;
}

fs::perms permissionsOf(const fs::path& path)
{
    return fs::status(path).permissions() & fs::perms::mask;
}

// Runs `body` in a forked process, as nobody when the test runs as root
// (permission checks do not bind root); returns its exit status.
int runInChild(const std::function<void()>& body, bool unprivileged = false)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (unprivileged && ::geteuid() == 0
            && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        body();
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class KeyFileUserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/lullswitch-prefs-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        directory = root / "config" / "lullswitch";
        path = directory / "preferences.ini";
    }

    void TearDown() override
    {
        std::error_code ignored;
        for (const auto& entry : fs::recursive_directory_iterator(root, ignored))
            if (entry.is_directory(ignored))
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root, ignored);
    }

    // Lets an unprivileged child reach and own the test tree.
    void handTreeToNobody()
    {
        if (::geteuid() != 0)
            return;
        fs::permissions(root, fs::perms::owner_all | fs::perms::others_exec);
        ASSERT_EQ(::chown(root.c_str(), 65534, 65534), 0);
        for (const auto& entry : fs::recursive_directory_iterator(root))
            ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0);
    }

    fs::path root;
    fs::path directory;
    fs::path path;
    Strings reports;
    KeyFileUserDefaults::SaveFailureReporter reporter = [this](const std::string& text) { reports.push_back(text); };
};

TEST(KeyFileUserDefaultsPath, FollowsXdgConfigHome)
{
    const std::pair<const char*, const char*> cases[] = {
        { "/xdg/config", "/xdg/config/lullswitch/preferences.ini" },
        { nullptr, "/home/ayu/.config/lullswitch/preferences.ini" },
        { "", "/home/ayu/.config/lullswitch/preferences.ini" },
        // Relative paths are invalid there and ignored.
        { "relative/config", "/home/ayu/.config/lullswitch/preferences.ini" },
    };
    ::setenv("HOME", "/home/ayu", 1);
    for (const auto& [configHome, expected] : cases) {
        if (configHome)
            ::setenv("XDG_CONFIG_HOME", configHome, 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(KeyFileUserDefaults::defaultPath(), expected) << (configHome ? configHome : "(unset)");
    }
}

// How a value written by hand is reported; reading never rewrites it.
TEST_F(KeyFileUserDefaultsTest, ReportsStoredForms)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::string line;
        StoredObject expected;
        double expectedDouble;
    } cases[] = {
        { "isEnabled=true", StoredObject(true), 1.0 },
        { "isEnabled=false  ", StoredObject(false), 0.0 },
        { "isEnabled=  true", StoredObject(true), 1.0 },
        { "isEnabled=1", StoredObject(1.0), 1.0 },
        { "isEnabled=-3", StoredObject(-3.0), -3.0 },
        { "isEnabled=1e3", StoredObject(1000.0), 1000.0 },
        { "isEnabled=inf", StoredObject(inf), inf },
        { "isEnabled=nan", StoredObject(nan), nan },
        { "isEnabled=TRUE", StoredObject("TRUE"), 0.0 },
        { "isEnabled=3abc", StoredObject("3abc"), 0.0 },
        { "isEnabled=", StoredObject(""), 0.0 },
        { "isEnabled=two\\swords", StoredObject("two words"), 0.0 },
        { "isEnabled=\xff\xfe", StoredObject("\xff\xfe"), 0.0 },
        { "note=" + std::string(KeyFileUserDefaults::maximumFileSize / 2, 'x'), StoredObject::absent(), 0.0 },
    };
    KeyFileUserDefaults store(path.string());
    for (const auto& c : cases) {
        const std::string contents = "[Lullswitch]\n" + c.line + "\n[Other]\ndelaySeconds=3\n";
        replaceFile(path, contents);
        settle();
        EXPECT_TRUE(isSameObject(store.object("isEnabled"), c.expected)) << c.line.substr(0, 20);
        const double number = store.doubleValue("isEnabled");
        EXPECT_TRUE(number == c.expectedDouble || (std::isnan(number) && std::isnan(c.expectedDouble)));
        EXPECT_TRUE(store.object("delaySeconds").isAbsent()) << "only the application's group counts";
        EXPECT_EQ(readFile(path), contents);
    }
}

TEST_F(KeyFileUserDefaultsTest, SeedingCreatesAPrivateDirectoryAndFile)
{
    ::umask(0); // the modes must not depend on the caller's umask
    KeyFileUserDefaults store(path.string());
    EXPECT_TRUE(store.object("isEnabled").isAbsent());
    EXPECT_FALSE(fs::exists(root / "config")) << "reading must not create anything";

    SettingsStore settings(store);
    EXPECT_EQ(readFile(path), "[Lullswitch]\nisEnabled=true\ndelaySeconds=2\n");
    EXPECT_EQ(permissionsOf(root / "config"), fs::perms::owner_all);
    EXPECT_EQ(permissionsOf(directory), fs::perms::owner_all);
    EXPECT_EQ(permissionsOf(path), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(namesIn(directory), Strings { "preferences.ini" }) << "no temporary file left";

    const double values[] = { 0.1, 1.0 / 3.0, -0.0, 1e-300, std::numeric_limits<double>::max(),
        std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::infinity() };
    for (double value : values) {
        store.setDouble(value, "delaySeconds");
        const auto read = KeyFileUserDefaults(path.string()).object("delaySeconds");
        ASSERT_NE(read.number(), nullptr);
        EXPECT_EQ(std::memcmp(read.number(), &value, sizeof value), 0) << value << " came back as " << *read.number();
    }
    store.setDouble(0.1, "delaySeconds");
    EXPECT_EQ(readFile(path), "[Lullswitch]\nisEnabled=true\ndelaySeconds=0.1\n") << "short enough to edit by hand";
}

// The kernel reports another program's change: it is read before the next
// tick and announced once; reads in between cost nothing, and this process's
// own writes are neither parsed back nor announced.
TEST_F(KeyFileUserDefaultsTest, AnotherWritersChangeIsSeenAtTheNextTickAndAnnounced)
{
    writeInPlace(path, "[Lullswitch]\ndelaySeconds=3\n");
    KeyFileUserDefaults store(path.string());
    int notices = 0;
    store.setOnExternalChange([&] { ++notices; });
    EXPECT_EQ(store.doubleValue("delaySeconds"), 3.0);
    ASSERT_TRUE(store.isMonitored());

    const std::vector<std::pair<std::function<void()>, double>> edits = {
        { [&] { replaceFile(path, "[Lullswitch]\ndelaySeconds=4\n"); }, 4.0 },
        { [&] { writeInPlace(path, "[Lullswitch]\ndelaySeconds=12.5\n"); }, 12.5 },
        { [&] { fs::remove(path); }, 0.0 },
        { [&] { store.setDouble(8.0, "delaySeconds"); }, 8.0 },
        { [&] { fs::permissions(path, fs::perms::owner_read); }, 8.0 },
    };
    const int expectedNotices[] = { 1, 2, 3, 3, 4 };
    for (std::size_t i = 0; i < edits.size(); ++i) {
        edits[i].first();
        settle();
        EXPECT_EQ(store.doubleValue("delaySeconds"), edits[i].second) << "edit " << i;
        EXPECT_EQ(notices, expectedNotices[i]) << "edit " << i;
    }
    const auto parses = store.parseCount();
    EXPECT_EQ(parses, 4u) << "each change parsed once, its own write not at all";

    // Between notices a read touches nothing: a change not yet dispatched is
    // not seen.
    replaceFile(path, "[Lullswitch]\ndelaySeconds=9\n");
    EXPECT_EQ(store.doubleValue("delaySeconds"), 8.0);
    settle();
    EXPECT_EQ(store.doubleValue("delaySeconds"), 9.0);
}

// Where the directory cannot be watched yet, one stat per read tells; the
// file is parsed only when it changed.
TEST_F(KeyFileUserDefaultsTest, WithoutItsDirectoryAStatPerReadTellsOfChanges)
{
    KeyFileUserDefaults store(path.string());
    EXPECT_TRUE(store.object("delaySeconds").isAbsent());
    EXPECT_FALSE(store.isMonitored());
    writeInPlace(path, "[Lullswitch]\ndelaySeconds=3\n");
    EXPECT_EQ(store.doubleValue("delaySeconds"), 3.0);
    EXPECT_TRUE(store.isMonitored()) << "watches once the directory exists";
    fs::remove_all(directory);
    settle();
    EXPECT_FALSE(store.isMonitored());
    EXPECT_TRUE(store.object("delaySeconds").isAbsent());

    writeInPlace(path, "[Lullswitch]\ndelaySeconds=17\n");
    const auto parses = store.parseCount();
    EXPECT_EQ(store.doubleValue("delaySeconds"), 17.0);
    for (int i = 0; i < 10; ++i)
        store.object("isEnabled");
    EXPECT_EQ(store.parseCount(), parses + 1) << "an unchanged file is not parsed again";
}

TEST_F(KeyFileUserDefaultsTest, KeepsWhatItDoesNotKnow)
{
    const std::string original = "# Edited by hand.\n\n[Lullswitch]\n# in seconds\ndelaySeconds=3\nfutureKey=kept\n"
                                 "Name[fr]=Retour\n\n[Elsewhere]\n# another tool's section\nx=1;2;3\n";
    writeInPlace(path, original);
    KeyFileUserDefaults store(path.string());
    store.setDouble(5.0, "delaySeconds");
    store.setBool(false, "isEnabled");
    std::string expected = original;
    expected.replace(expected.find("delaySeconds=3"), 14, "delaySeconds=5");
    expected.insert(expected.find("[Elsewhere]"), "isEnabled=false\n\n");
    EXPECT_EQ(readFile(path), expected);
}

// How the user set the file up is kept. What cannot be written in place (a
// read-only file, a directory or a FIFO) is left alone without blocking, and
// the failed save reported once.
TEST_F(KeyFileUserDefaultsTest, WritesRespectTheFilesSetUp)
{
    const fs::path target = root / "dotfiles" / "preferences.ini";
    const std::string written = "[Lullswitch]\ndelaySeconds=1\n";
    enum class Kind { file, link, dangling, folder, fifo };
    const struct {
        Kind kind;
        fs::perms mode;
        std::string expected; // the contents afterwards; "" when no regular file
        std::string failure; // "" when the save works
    } cases[] = {
        { Kind::file, fs::perms(0640), written, "" },
        { Kind::link, fs::perms(0644), written, "" },
        { Kind::dangling, fs::perms(0600), written, "" },
        { Kind::file, fs::perms(0444), "[Lullswitch]\ndelaySeconds=3\n", "the file is read-only" },
        { Kind::folder, fs::perms(0700), "", "it is not a regular file" },
        { Kind::fifo, fs::perms(0600), "", "it is not a regular file" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        fs::remove_all(root / "dotfiles");
        fs::remove_all(directory);
        fs::create_directories(directory);
        const bool isLink = c.kind == Kind::link || c.kind == Kind::dangling;
        const fs::path file = isLink ? target : path;
        if (c.kind == Kind::file || c.kind == Kind::link)
            writeInPlace(file, "[Lullswitch]\ndelaySeconds=3\n");
        if (c.kind == Kind::folder)
            fs::create_directory(file);
        if (c.kind == Kind::fifo) {
            ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
        }
        if (c.kind != Kind::dangling)
            fs::permissions(file, c.mode);
        if (isLink)
            fs::create_symlink(target, path);
        reports.clear();
        KeyFileUserDefaults store(path.string(), reporter);
        store.setDouble(1.0, "delaySeconds");
        store.setDouble(1.0, "delaySeconds");
        EXPECT_EQ(store.doubleValue("delaySeconds"), 1.0) << "this run keeps what it was told";
        EXPECT_EQ(c.expected.empty() ? "" : readFile(file), c.expected);
        EXPECT_EQ(permissionsOf(file), c.mode);
        EXPECT_EQ(fs::is_symlink(path), isLink);
        EXPECT_EQ(fs::is_directory(file), c.kind == Kind::folder);
        EXPECT_EQ(fs::is_fifo(file), c.kind == Kind::fifo);
        const Strings expectedReports = { "lullswitch: cannot save the setting in " + file.string() + " (" + c.failure
            + "); it holds only until the agent quits" };
        EXPECT_EQ(reports, c.failure.empty() ? Strings {} : expectedReports);
    }
}

// Contents that are not a key file read as empty; the first write moves
// them aside byte for byte, each under a name of its own.
TEST_F(KeyFileUserDefaultsTest, UnparseableFilesReadAsEmptyAndAreMovedAside)
{
    std::mt19937 random(20240611);
    std::string randomBytes(4096, '\0');
    for (auto& byte : randomBytes)
        byte = static_cast<char>(random());
    const char withNul[] = "[Lullswitch]\nisEnabled=false\n\0junk\n";
    const Strings cases = {
        randomBytes,
        "isEnabled=false\n",
        std::string(withNul, sizeof withNul - 1),
        "[Lullswitch\nisEnabled=false\n",
        "[Lullswitch]\nisEnabled=false\n" + std::string(KeyFileUserDefaults::maximumFileSize, '#'),
    };
    for (const auto& contents : cases) {
        replaceFile(path, contents);
        KeyFileUserDefaults store(path.string());
        EXPECT_TRUE(store.object("isEnabled").isAbsent());
        SettingsStore settings(store); // seeds, and so writes
        EXPECT_EQ(readFile(path), "[Lullswitch]\nisEnabled=true\ndelaySeconds=2\n");
    }
    Strings aside;
    for (const auto& name : namesIn(directory))
        if (name != "preferences.ini")
            aside.push_back(readFile(directory / name));
    Strings expected = cases;
    std::sort(aside.begin(), aside.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(aside, expected);
}

// Unprivileged: a read-only directory keeps the file as it was and says so
// once per cause; an unreadable file is moved aside, never overwritten.
TEST_F(KeyFileUserDefaultsTest, FailedSavesKeepTheFileAndAreReportedOnce)
{
    const std::string original = "[Lullswitch]\nisEnabled=true\ndelaySeconds=3\n";
    writeInPlace(path, original);
    writeInPlace(root / "other" / "preferences.ini", original);
    fs::permissions(root / "other" / "preferences.ini", fs::perms::none);
    handTreeToNobody();
    const int status = runInChild(
        [&] {
            fs::permissions(directory, fs::perms::owner_read | fs::perms::owner_exec);
            KeyFileUserDefaults store(path.string(), reporter);
            SettingsStore settings(store);
            settings.setIsEnabled(false);
            settings.setDelaySeconds(5);
            EXPECT_FALSE(settings.isEnabled());
            EXPECT_EQ(settings.delaySeconds(), 5.0);
            EXPECT_EQ(readFile(path), original);
            EXPECT_EQ(reports,
                Strings { "lullswitch: cannot save the setting in " + path.string()
                    + " (Permission denied); it holds only until the agent quits" });
            // Once someone else changes the file, the file wins again.
            fs::permissions(directory, fs::perms::owner_all);
            replaceFile(path, "[Lullswitch]\nisEnabled=true\ndelaySeconds=3\n");
            settle();
            EXPECT_TRUE(settings.isEnabled());
            EXPECT_EQ(settings.delaySeconds(), 3.0);

            KeyFileUserDefaults unreadable((root / "other" / "preferences.ini").string());
            EXPECT_TRUE(unreadable.object("delaySeconds").isAbsent());
            unreadable.setBool(true, "isEnabled");
            EXPECT_EQ(readFile(root / "other" / "preferences.ini"), "[Lullswitch]\nisEnabled=true\n");
            EXPECT_EQ(namesIn(root / "other").size(), 2u);
        },
        true);
    EXPECT_EQ(status, 0);
}

// Another program rewrites the file every 2 ms while the user toggles 300
// times: no write of this store puts back older contents of that program's
// or drops a key because it caught the file empty.
TEST_F(KeyFileUserDefaultsTest, WritesNeverUndoAConcurrentWriter)
{
    for (const bool inPlace : { false, true }) {
        SCOPED_TRACE(inPlace ? "truncating writer" : "replacing writer");
        writeInPlace(path, "[Lullswitch]\nisEnabled=true\ndelaySeconds=3\nwriter=0\n");
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
                (inPlace ? writeInPlace : replaceFile)(path, data.get());
                ::usleep(2000);
            }
            ::_exit(0);
        }
        KeyFileUserDefaults store(path.string());
        for (int toggle = 0; toggle < 300; ++toggle) {
            store.setBool(toggle % 2 == 0, "isEnabled");
            settle();
        }
        shared[0] = 1;
        ::waitpid(writer, nullptr, 0);
        // A truncating writer still loses an edit it makes to the file in
        // the microseconds that file is being swapped out (up to a dozen of
        // 300 on a loaded machine; 184 before writes were checked).
        EXPECT_LE(shared[1], inPlace ? 30 : 0) << "older contents put back";
        EXPECT_EQ(shared[2], 0) << "a key dropped";
        ::munmap(shared, 3 * sizeof(std::atomic<int>));
    }
}

// Killed at random moments while writing, the writer always leaves a whole
// file holding one of the values it wrote, with the rest of the file intact.
TEST_F(KeyFileUserDefaultsTest, KillingAWriterNeverLeavesATornFile)
{
    // A large file makes each write long enough for kills to land inside it.
    std::string padding;
    for (int i = 0; i < 4000; ++i)
        padding += "# padding line " + std::to_string(i) + " that the store must carry along\n";
    writeInPlace(path, padding + "[Lullswitch]\nisEnabled=true\ndelaySeconds=0\n# end\n");
    std::mt19937 random(99);
    double largestSeen = 0.0;
    for (int round = 0; round < 30; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            KeyFileUserDefaults store(path.string());
            const double start = store.doubleValue("delaySeconds");
            for (int i = 1; i <= 100000; ++i) {
                store.setDouble(start + i, "delaySeconds");
                if (i == 1 && ::write(ready[1], "w", 1) != 1)
                    ::_exit(2);
            }
            ::_exit(0);
        }
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        ::close(ready[1]);
        ::usleep(static_cast<useconds_t>(random() % 20000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer finished before it was killed";

        const auto delay = KeyFileUserDefaults(path.string()).object("delaySeconds");
        ASSERT_NE(delay.number(), nullptr) << "round " << round;
        EXPECT_GE(*delay.number(), largestSeen);
        const std::string contents = readFile(path);
        EXPECT_EQ(contents.rfind(padding, 0), 0u) << "unknown comments survive every write";
        EXPECT_NE(contents.find("isEnabled=true\n"), std::string::npos);
        EXPECT_NE(contents.find("# end\n"), std::string::npos);
        largestSeen = *delay.number();
    }
    EXPECT_GE(largestSeen, 30.0) << "every round wrote at least once";
}

} // namespace
} // namespace lullswitch::linux_backend

#include "platform/linux/KeyFileUserDefaults.h"
#include "settings/SettingsStore.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

namespace lullswitch::linux_backend {
namespace {

namespace fs = std::filesystem;
using platform::StoredObject;

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
    const fs::path temporary = path.string() + ".editor";
    writeInPlace(temporary, contents);
    fs::rename(temporary, path);
}

std::vector<std::string> namesIn(const fs::path& directory)
{
    std::vector<std::string> names;
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

// Runs `body` in a forked process (a separate address space: only the file
// can carry anything across) and returns its exit status; failures inside
// print and make the status non-zero.
int runInChild(const std::function<void()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        body();
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Permission checks do not bind root; run such cases as nobody.
constexpr uid_t nobody = 65534;
void becomeUnprivilegedIfRoot()
{
    if (::geteuid() != 0)
        return;
    ASSERT_EQ(::setgroups(0, nullptr), 0);
    ASSERT_EQ(::setgid(nobody), 0);
    ASSERT_EQ(::setuid(nobody), 0);
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
        ASSERT_EQ(::chown(root.c_str(), nobody, nobody), 0);
        for (const auto& entry : fs::recursive_directory_iterator(root))
            ASSERT_EQ(::lchown(entry.path().c_str(), nobody, nobody), 0);
    }

    fs::path root;
    fs::path directory;
    fs::path path;
};

TEST(KeyFileUserDefaultsPath, FollowsXdgConfigHome)
{
    struct Case {
        const char* configHome; // nullptr: unset
        const char* expected;
    };
    const Case cases[] = {
        { "/xdg/config", "/xdg/config/lullswitch/preferences.ini" },
        { nullptr, "/home/ayu/.config/lullswitch/preferences.ini" },
        { "", "/home/ayu/.config/lullswitch/preferences.ini" },
        // Relative paths are invalid there and ignored.
        { "relative/config", "/home/ayu/.config/lullswitch/preferences.ini" },
    };
    ::setenv("HOME", "/home/ayu", 1);
    for (const auto& c : cases) {
        if (c.configHome)
            ::setenv("XDG_CONFIG_HOME", c.configHome, 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(KeyFileUserDefaults::defaultPath(), c.expected) << (c.configHome ? c.configHome : "(unset)");
    }
}

TEST_F(KeyFileUserDefaultsTest, AbsentUntilWrittenAndCreatesPrivateDirectoryAndFile)
{
    ::umask(0); // the modes must not depend on the caller's umask
    KeyFileUserDefaults store(path.string());
    EXPECT_TRUE(store.object("isEnabled").isAbsent());
    EXPECT_EQ(store.doubleValue("delaySeconds"), 0.0);
    EXPECT_FALSE(fs::exists(root / "config")) << "reading must not create anything";

    store.setBool(false, "isEnabled");
    EXPECT_EQ(store.object("isEnabled"), StoredObject(false));
    EXPECT_TRUE(store.object("delaySeconds").isAbsent());
    EXPECT_EQ(permissionsOf(root / "config"), fs::perms::owner_all);
    EXPECT_EQ(permissionsOf(directory), fs::perms::owner_all);
    EXPECT_EQ(permissionsOf(path), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(readFile(path), "[Lullswitch]\nisEnabled=false\n");
    EXPECT_EQ(namesIn(directory), std::vector<std::string> { "preferences.ini" }) << "no temporary file left";
}

// How a value written by hand under "isEnabled" is reported.
TEST_F(KeyFileUserDefaultsTest, ReportsStoredForms)
{
    struct Case {
        std::string written;
        StoredObject expected;
        double expectedDouble;
    };
    const Case cases[] = {
        { "true", StoredObject(true), 1.0 },
        { "false", StoredObject(false), 0.0 },
        { "false  ", StoredObject(false), 0.0 },
        { "  true", StoredObject(true), 1.0 },
        { "1", StoredObject(1.0), 1.0 },
        { "0", StoredObject(0.0), 0.0 },
        { "2.5", StoredObject(2.5), 2.5 },
        { "-3", StoredObject(-3.0), -3.0 },
        { "1e3", StoredObject(1000.0), 1000.0 },
        { "inf", StoredObject(std::numeric_limits<double>::infinity()), std::numeric_limits<double>::infinity() },
        { "TRUE", StoredObject(std::string("TRUE")), 0.0 },
        { "yes", StoredObject(std::string("yes")), 0.0 },
        { "3abc", StoredObject(std::string("3abc")), 0.0 },
        { "", StoredObject(std::string("")), 0.0 },
        { "two\\swords", StoredObject(std::string("two words")), 0.0 },
        { "\xff\xfe", StoredObject(std::string("\xff\xfe")), 0.0 },
    };
    KeyFileUserDefaults store(path.string());
    for (const auto& c : cases) {
        replaceFile(path, "[Lullswitch]\nisEnabled=" + c.written + "\n");
        EXPECT_EQ(store.object("isEnabled"), c.expected) << '"' << c.written << '"';
        EXPECT_EQ(store.doubleValue("isEnabled"), c.expectedDouble) << '"' << c.written << '"';
    }

    replaceFile(path, "[Lullswitch]\ndelaySeconds=nan\n");
    const auto nan = store.object("delaySeconds");
    const double* number = nan.number();
    ASSERT_NE(number, nullptr);
    EXPECT_TRUE(std::isnan(*number));
    EXPECT_TRUE(store.object("isEnabled").isAbsent());

    replaceFile(path, "[Other]\nisEnabled=false\n");
    EXPECT_TRUE(store.object("isEnabled").isAbsent()) << "only the application's group counts";
}

TEST_F(KeyFileUserDefaultsTest, SettingsStoreReadRulesOverTheFile)
{
    struct Case {
        std::string contents;
        bool isEnabled;
        double delaySeconds;
    };
    const Case cases[] = {
        { "[Lullswitch]\nisEnabled=false\ndelaySeconds=3\n", false, 3.0 },
        { "[Lullswitch]\nisEnabled=some text\ndelaySeconds=45\n", true, 45.0 },
        { "[Lullswitch]\nisEnabled=0\ndelaySeconds=-3\n", false, 2.0 },
        { "[Lullswitch]\nisEnabled=1\ndelaySeconds=nan\n", true, 2.0 },
        { "[Lullswitch]\nisEnabled=2\ndelaySeconds=true\n", true, 1.0 },
        { "[Lullswitch]\nisEnabled=false\ndelaySeconds=soon\n", false, 2.0 },
    };
    for (const auto& c : cases) {
        replaceFile(path, c.contents);
        KeyFileUserDefaults defaults(path.string());
        SettingsStore settings(defaults);
        EXPECT_EQ(settings.isEnabled(), c.isEnabled) << c.contents;
        EXPECT_EQ(settings.delaySeconds(), c.delaySeconds) << c.contents;
        EXPECT_EQ(readFile(path), c.contents) << "stored values are never repaired";
    }
}

TEST_F(KeyFileUserDefaultsTest, SettingsStoreSeedsAnEmptyFileOnce)
{
    KeyFileUserDefaults defaults(path.string());
    SettingsStore settings(defaults);
    EXPECT_EQ(readFile(path), "[Lullswitch]\nisEnabled=true\ndelaySeconds=2\n");
    settings.setDelaySeconds(31);
    settings.setIsEnabled(false);

    KeyFileUserDefaults later(path.string());
    SettingsStore again(later);
    EXPECT_FALSE(again.isEnabled());
    EXPECT_EQ(again.delaySeconds(), 30.0);
}

TEST_F(KeyFileUserDefaultsTest, DoublesRoundTripExactly)
{
    const double values[] = { 0.1, 1.0 / 3.0, 0.5, 2.0, 30.0, -0.0, 1e-300, std::numeric_limits<double>::max(),
        std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN() };
    KeyFileUserDefaults writer(path.string());
    for (double value : values) {
        writer.setDouble(value, "delaySeconds");
        KeyFileUserDefaults reader(path.string());
        const auto stored = reader.object("delaySeconds");
        const double* read = stored.number();
        ASSERT_NE(read, nullptr) << value;
        EXPECT_EQ(std::memcmp(read, &value, sizeof value), 0) << value << " came back as " << *read;
    }
    writer.setDouble(0.1, "delaySeconds");
    EXPECT_EQ(readFile(path), "[Lullswitch]\ndelaySeconds=0.1\n") << "short enough to edit by hand";
}

TEST_F(KeyFileUserDefaultsTest, RoundTripAcrossProcesses)
{
    KeyFileUserDefaults store(path.string());
    store.setBool(false, "isEnabled");
    store.setDouble(3.0, "delaySeconds");
    EXPECT_EQ(store.parseCount(), 0u);

    const int status = runInChild([&] {
        KeyFileUserDefaults other(path.string());
        EXPECT_EQ(other.object("isEnabled"), StoredObject(false));
        EXPECT_EQ(other.doubleValue("delaySeconds"), 3.0);
        other.setBool(true, "isEnabled");
        other.setDouble(5.0, "delaySeconds");
    });
    ASSERT_EQ(status, 0);

    EXPECT_EQ(store.object("isEnabled"), StoredObject(true));
    EXPECT_EQ(store.doubleValue("delaySeconds"), 5.0);
}

TEST_F(KeyFileUserDefaultsTest, SeesAnotherWriterAtTheNextReadAndParsesOnlyOnChange)
{
    writeInPlace(path, "[Lullswitch]\ndelaySeconds=3\n");
    KeyFileUserDefaults store(path.string());
    EXPECT_EQ(store.doubleValue("delaySeconds"), 3.0);
    EXPECT_EQ(store.parseCount(), 1u);
    for (int i = 0; i < 100; ++i)
        store.object("isEnabled");
    EXPECT_EQ(store.parseCount(), 1u) << "an unchanged file is not parsed again";

    replaceFile(path, "[Lullswitch]\ndelaySeconds=4\n");
    EXPECT_EQ(store.doubleValue("delaySeconds"), 4.0);
    EXPECT_EQ(store.parseCount(), 2u);

    writeInPlace(path, "[Lullswitch]\ndelaySeconds=12.5\n");
    EXPECT_EQ(store.doubleValue("delaySeconds"), 12.5);

    // Same inode and size: only the timestamps tell. Set a modification time
    // one nanosecond apart from the last one seen.
    struct stat before;
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    writeInPlace(path, "[Lullswitch]\ndelaySeconds=17.5\n");
    timespec times[2] = { before.st_atim, before.st_mtim };
    times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(store.doubleValue("delaySeconds"), 17.5);

    fs::remove(path);
    EXPECT_TRUE(store.object("delaySeconds").isAbsent());
    const auto parses = store.parseCount();
    store.object("delaySeconds");
    EXPECT_EQ(store.parseCount(), parses) << "a missing file stays unparsed";

    store.setDouble(8.0, "delaySeconds");
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(store.doubleValue("delaySeconds"), 8.0);
    EXPECT_EQ(store.parseCount(), parses) << "its own write is not parsed back";
}

TEST_F(KeyFileUserDefaultsTest, KeepsWhatItDoesNotKnow)
{
    const std::string original = "# Edited by hand.\n"
                                 "\n"
                                 "[Lullswitch]\n"
                                 "# in seconds\n"
                                 "delaySeconds=3\n"
                                 "futureKey=kept\n"
                                 "Name[fr]=Retour\n"
                                 "\n"
                                 "[Elsewhere]\n"
                                 "# another tool's section\n"
                                 "x=1;2;3\n";
    writeInPlace(path, original);
    KeyFileUserDefaults store(path.string());
    store.setDouble(5.0, "delaySeconds");
    store.setBool(false, "isEnabled");

    // Every line it did not change is still there, in order; the layout of
    // what it adds is GKeyFile's.
    const std::string written = readFile(path);
    std::istringstream lines(original);
    std::size_t position = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line == "delaySeconds=3")
            line = "delaySeconds=5";
        position = written.find(line + "\n", position);
        ASSERT_NE(position, std::string::npos) << line << " missing or out of order in:\n" << written;
    }
    KeyFileUserDefaults reader(path.string());
    EXPECT_EQ(reader.object("isEnabled"), StoredObject(false));
    EXPECT_LT(written.find("isEnabled=false"), written.find("[Elsewhere]")) << "inside its own group";
}

TEST_F(KeyFileUserDefaultsTest, WritesThroughASymlinkToItsTarget)
{
    const fs::path dotfiles = root / "dotfiles" / "preferences.ini";
    writeInPlace(dotfiles, "[Lullswitch]\ndelaySeconds=3\n");
    fs::create_directories(directory);
    fs::create_symlink(dotfiles, path);

    KeyFileUserDefaults store(path.string());
    store.setDouble(1.0, "delaySeconds");
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(readFile(dotfiles), "[Lullswitch]\ndelaySeconds=1\n");
    EXPECT_EQ(store.doubleValue("delaySeconds"), 1.0);
}

// Contents that are not a key file: they read as empty, and the first write
// moves them aside untouched instead of overwriting them.
TEST_F(KeyFileUserDefaultsTest, UnparseableFilesReadAsEmptyAndAreMovedAside)
{
    std::mt19937 random(20240611);
    std::string randomBytes(4096, '\0');
    for (auto& byte : randomBytes)
        byte = static_cast<char>(random());
    const char withNul[] = "[Lullswitch]\nisEnabled=false\ndelaySeconds=3\0junk\n";
    const std::string cases[] = {
        randomBytes,
        "isEnabled=false\n",
        "garbage\n[Lullswitch]\nisEnabled=false\n",
        std::string(withNul, sizeof withNul - 1),
        "[Lullswitch\nisEnabled=false\n",
        "[Lullswitch]\nisEnabled=false\n" + std::string(KeyFileUserDefaults::maximumFileSize, '#'),
    };
    for (const auto& contents : cases) {
        SCOPED_TRACE(contents.substr(0, 40));
        fs::remove_all(directory);
        writeInPlace(path, contents);
        KeyFileUserDefaults store(path.string());
        EXPECT_TRUE(store.object("isEnabled").isAbsent());
        EXPECT_EQ(store.doubleValue("delaySeconds"), 0.0);
        {
            SettingsStore settings(store); // seeds, and so writes
            EXPECT_TRUE(settings.isEnabled());
            EXPECT_EQ(settings.delaySeconds(), 2.0);
        }
        EXPECT_EQ(readFile(path), "[Lullswitch]\nisEnabled=true\ndelaySeconds=2\n");
        const auto names = namesIn(directory);
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[0], "preferences.ini");
        EXPECT_EQ(names[1].rfind("preferences.ini.corrupt-", 0), 0u) << names[1];
        EXPECT_EQ(readFile(directory / names[1]), contents) << "moved aside byte for byte";
    }
}

TEST_F(KeyFileUserDefaultsTest, SecondCorruptFileInTheSameSecondGetsItsOwnName)
{
    KeyFileUserDefaults store(path.string());
    for (int i = 0; i < 3; ++i) {
        replaceFile(path, "not a key file " + std::to_string(i) + "\n");
        store.setBool(true, "isEnabled");
    }
    const auto names = namesIn(directory);
    ASSERT_EQ(names.size(), 4u);
    std::vector<std::string> asideContents;
    for (const auto& name : names)
        if (name != "preferences.ini") {
            asideContents.push_back(readFile(directory / name));
        }
    std::sort(asideContents.begin(), asideContents.end());
    EXPECT_EQ(
        asideContents, (std::vector<std::string> { "not a key file 0\n", "not a key file 1\n", "not a key file 2\n" }));
}

// Any byte sequence: no crash (the sanitizer build watches memory), and
// whatever parses keeps reading consistently.
TEST_F(KeyFileUserDefaultsTest, SurvivesArbitraryBytes)
{
    const std::string pieces[] = { "[", "]", "=", "\n", "#", "\\", ";", " ", "\r", std::string(1, '\0'), "\xff", "\xc3",
        "[Lullswitch]\n", "isEnabled", "delaySeconds", "true", "1e308", "nan", "[x[y]]", "\\s\\n\\t\\" };
    std::mt19937 random(7);
    KeyFileUserDefaults store(path.string());
    for (int round = 0; round < 400; ++round) {
        std::string contents;
        const int length = static_cast<int>(random() % 64);
        for (int i = 0; i < length; ++i) {
            if (random() % 3 == 0)
                contents += static_cast<char>(random());
            else
                contents += pieces[random() % std::size(pieces)];
        }
        replaceFile(path, contents);
        const auto isEnabled = store.object("isEnabled");
        const auto delay = store.object("delaySeconds");
        store.doubleValue("delaySeconds");
        KeyFileUserDefaults fresh(path.string());
        EXPECT_TRUE(isSameObject(fresh.object("isEnabled"), isEnabled)) << contents;
        EXPECT_TRUE(isSameObject(fresh.object("delaySeconds"), delay)) << contents;
        if (round % 20 == 0)
            store.setDouble(round, "delaySeconds");
    }
}

TEST_F(KeyFileUserDefaultsTest, LongLinesBelowTheLimitStillParse)
{
    const std::string longValue(KeyFileUserDefaults::maximumFileSize / 2, 'x');
    writeInPlace(path, "[Lullswitch]\nnote=" + longValue + "\nisEnabled=false\n");
    KeyFileUserDefaults store(path.string());
    EXPECT_EQ(store.object("isEnabled"), StoredObject(false));
    EXPECT_EQ(store.object("note"), StoredObject(longValue));
}

TEST_F(KeyFileUserDefaultsTest, NonRegularFileInItsPlaceIsLeftAlone)
{
    fs::create_directories(path);
    fs::create_directories(root / "fifo");
    const fs::path fifo = root / "fifo" / "preferences.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    for (const fs::path& where : { path, fifo }) {
        SCOPED_TRACE(where);
        KeyFileUserDefaults store(where.string());
        EXPECT_TRUE(store.object("isEnabled").isAbsent()) << "a FIFO must not block the read";
        SettingsStore settings(store);
        EXPECT_TRUE(settings.isEnabled());
        settings.setIsEnabled(false);
        EXPECT_FALSE(settings.isEnabled()) << "this process keeps what it was told";
    }
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_TRUE(fs::is_empty(path));
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(namesIn(root / "fifo"), std::vector<std::string> { "preferences.ini" });
}

// A failed write changes nothing on disk. The process keeps the value it was
// told, as the platform's own store keeps it in memory: the menu and the
// watcher agree with the user's last choice until the file changes.
TEST_F(KeyFileUserDefaultsTest, ReadOnlyDirectoryKeepsTheFileAndTheSessionConsistent)
{
    const std::string original = "[Lullswitch]\nisEnabled=true\ndelaySeconds=2\n";
    writeInPlace(path, original);
    handTreeToNobody();
    const int status = runInChild([&] {
        becomeUnprivilegedIfRoot();
        fs::permissions(directory, fs::perms::owner_read | fs::perms::owner_exec);
        KeyFileUserDefaults store(path.string());
        SettingsStore settings(store);
        settings.setIsEnabled(false);
        settings.setDelaySeconds(5);
        EXPECT_FALSE(settings.isEnabled());
        EXPECT_EQ(settings.delaySeconds(), 5.0);
        EXPECT_EQ(readFile(path), original);
        EXPECT_EQ(namesIn(directory), std::vector<std::string> { "preferences.ini" });

        KeyFileUserDefaults otherProcessView(path.string());
        EXPECT_EQ(otherProcessView.object("isEnabled"), StoredObject(true));

        // Once someone else changes the file, the file wins again.
        fs::permissions(directory, fs::perms::owner_all);
        replaceFile(path, "[Lullswitch]\nisEnabled=true\ndelaySeconds=3\n");
        EXPECT_TRUE(settings.isEnabled());
        EXPECT_EQ(settings.delaySeconds(), 3.0);
    });
    EXPECT_EQ(status, 0);
}

TEST_F(KeyFileUserDefaultsTest, UnreadableFileIsMovedAsideNotOverwritten)
{
    const std::string original = "[Lullswitch]\ndelaySeconds=3\n";
    writeInPlace(path, original);
    fs::permissions(path, fs::perms::none);
    handTreeToNobody();
    const int status = runInChild([&] {
        becomeUnprivilegedIfRoot();
        KeyFileUserDefaults store(path.string());
        EXPECT_TRUE(store.object("delaySeconds").isAbsent());
        store.setBool(true, "isEnabled");
        EXPECT_EQ(readFile(path), "[Lullswitch]\nisEnabled=true\n");
        EXPECT_EQ(namesIn(directory).size(), 2u);
    });
    EXPECT_EQ(status, 0);
    for (const auto& name : namesIn(directory)) {
        if (name != "preferences.ini") {
            EXPECT_EQ(readFile(directory / name), original);
        }
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
            ::close(ready[0]);
            KeyFileUserDefaults store(path.string());
            const double start = store.doubleValue("delaySeconds");
            for (int i = 1; i <= 100000; ++i) {
                store.setDouble(start + i, "delaySeconds");
                store.setBool(i % 2 == 0, "isEnabled");
                if (i == 1 && ::write(ready[1], "w", 1) != 1)
                    ::_exit(2);
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        ::usleep(static_cast<useconds_t>(random() % 20000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer finished before it was killed";

        GKeyFilePtr parsed(g_key_file_new());
        ASSERT_TRUE(g_key_file_load_from_file(parsed.get(), path.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr))
            << "round " << round;
        KeyFileUserDefaults reader(path.string());
        const auto stored = reader.object("delaySeconds");
        const double* delay = stored.number();
        ASSERT_NE(delay, nullptr);
        EXPECT_GE(*delay, largestSeen);
        EXPECT_EQ(*delay, std::floor(*delay));
        EXPECT_TRUE(std::holds_alternative<bool>(reader.object("isEnabled").value()));
        const std::string contents = readFile(path);
        EXPECT_EQ(contents.rfind(padding, 0), 0u) << "unknown comments survive every write";
        EXPECT_NE(contents.find("# end\n"), std::string::npos);
        largestSeen = *delay;
    }
    EXPECT_GE(largestSeen, 30.0) << "every round wrote at least once";
}

} // namespace
} // namespace lullswitch::linux_backend

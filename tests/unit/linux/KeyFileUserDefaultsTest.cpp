#include "platform/linux/KeyFileUserDefaults.h"

#include "fakes/FakeMainLoop.h"
#include "platform/linux/GLibRegistrations.h"

#include <gmock/gmock.h>

#include <grp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

// While set, renameat2 fails with flags as on filesystems that lack them
// (older NFS): replacing then takes the plain path. Each exchange first runs
// the next of `beforeExchange`, another program's write racing it. This
// process's own definition is the one the store's calls reach.
static bool renameFlagsMissing = false;
static std::vector<std::function<void()>> beforeExchange;

extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) noexcept
{
    if (flags == RENAME_EXCHANGE && !beforeExchange.empty()) {
        const auto write = std::move(beforeExchange.front());
        beforeExchange.erase(beforeExchange.begin());
        write();
    }
    if (flags == 0 || !renameFlagsMissing)
        return static_cast<int>(::syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
    errno = EINVAL;
    return -1;
}

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
    ~KeyFileUserDefaultsTest() override
    {
        renameFlagsMissing = false;
        fs::remove_all(root, removeError);
    }

    // Without kernel notices unless asked: the test drives the tick.
    KeyFileUserDefaults::Options options(bool kernel = false)
    {
        return { [this](auto, const std::string& text) { reports.push_back(text); }, [this] { return now; }, kernel };
    }
    void put(const fs::path& file, double delay, bool byRename = false)
    {
        writeFile(file, "[Lullswitch]\ndelaySeconds=" + std::to_string(delay) + "\n", byRename);
    }
    // As dotfile managers do: the file goes, a link to a copy kept elsewhere comes.
    void swapForSymlink(double delay)
    {
        fs::remove(path);
        put(elsewhere, delay);
        fs::create_symlink(elsewhere, path);
    }
    long entries() const { return std::distance(fs::directory_iterator(directory), {}); }

    fs::path root = GMallocPtr<char>(g_dir_make_tmp("lullswitch-prefs-XXXXXX", nullptr)).get();
    fs::path directory = root / "config" / "lullswitch";
    fs::path path = directory / "preferences.ini";
    fs::path elsewhere = root / "dotfiles" / "preferences.ini";
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

// How a file written by hand reads; reading never rewrites it. Contents
// that are not a key file read as empty, and the first write moves them
// aside byte for byte, each under a name of its own.
TEST_F(KeyFileUserDefaultsTest, ReadsStoredFormsAndMovesWhatIsNotAKeyFileAside)
{
    const char withNul[] = "[Lullswitch]\nisEnabled=false\n\0junk\n";
    const struct {
        std::string contents;
        StoredObject expected;
        double number;
    } cases[] = {
        { "[Lullswitch]\nisEnabled=true\n[Other]\ndelaySeconds=3\n", StoredObject(true), 1 },
        { "[Lullswitch]\nisEnabled=false   \n", StoredObject(false), 0 },
        { "[Lullswitch]\nisEnabled=3abc\n", StoredObject("3abc"), 0 },
        { "[Lullswitch]\nisEnabled=two\\swords\n", StoredObject("two words"), 0 },
        { "[Lullswitch]\nisEnabled=\xff\xfe\n", StoredObject("\xff\xfe"), 0 },
        { "isEnabled=false\n", {}, 0 },
        { std::string(withNul, sizeof withNul - 1), {}, 0 },
        { "[Lullswitch]\nisEnabled=false\n" + std::string(KeyFileSnapshot::maximumSize, '#'), {}, 0 },
    };
    Strings unparseable;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.contents.substr(0, 40));
        writeFile(path, c.contents, true);
        KeyFileUserDefaults store(path.string(), loop, options());
        EXPECT_TRUE(store.object("isEnabled") == c.expected);
        EXPECT_EQ(store.doubleValue("isEnabled"), c.number);
        EXPECT_TRUE(store.object("delaySeconds").isAbsent()) << "only the application's group counts";
        EXPECT_EQ(readFile(path), c.contents);
        if (c.expected.isAbsent()) {
            store.setBool(true, "isEnabled");
            EXPECT_EQ(readFile(path), "[Lullswitch]\nisEnabled=true\n");
            unparseable.push_back(c.contents);
        }
    }
    Strings aside;
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path() != path)
            aside.push_back(readFile(entry.path()));
    EXPECT_THAT(aside, ::testing::UnorderedElementsAreArray(unparseable));
}

// Reading creates nothing; the first write makes a private directory and
// file, short enough to edit by hand; values come back bit for bit; what the
// store does not know is kept as it was, a byte-order mark too. All of it
// where renameat2 takes no flags.
TEST_F(KeyFileUserDefaultsTest, WritesAPrivateFileAndKeepsWhatItDoesNotKnow)
{
    renameFlagsMissing = true;
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
    writeFile(path, original, true); // and written before the next tick
    store.setDouble(5.0, "delaySeconds");
    std::string expected = original;
    expected.replace(expected.find("delaySeconds=3"), 14, "delaySeconds=5");
    EXPECT_EQ(readFile(path), expected);
    EXPECT_TRUE(store.object("futureKey") == StoredObject("kept")) << "a write takes in what it read";
}

// Every way another program changes the file is read and announced at the
// next tick, and not before, so a click acts on the value shown; this
// process's own writes are neither parsed back nor announced.
TEST_F(KeyFileUserDefaultsTest, EveryChangeIsAnnouncedAtTheNextTick)
{
    put(path, 3);
    KeyFileUserDefaults store(path.string(), loop, options());
    int notices = 0;
    store.setOnExternalChange([&] { ++notices; });
    EXPECT_EQ(store.doubleValue("delaySeconds"), 3.0);
    const struct {
        std::function<void()> edit;
        double delay;
        int notices;
    } edits[] = {
        { [&] { put(path, 4, true); }, 4, 1 },
        { [&] { put(path, 12.5); }, 12.5, 2 },
        { [&] { fs::remove(path); }, 0, 3 },
        { [&] { store.setDouble(8, "delaySeconds"); }, 8, 3 },
        { [&] { fs::permissions(path, fs::perms::owner_read); }, 8, 4 },
        { [&] { fs::remove_all(directory), put(path, 5); }, 5, 5 },
        { [&] { fs::rename(root / "config", root / "config.bak"), put(path, 6); }, 6, 6 },
        { [&] { swapForSymlink(7); }, 7, 7 },
        { [&] { put(elsewhere, 9); }, 9, 8 },
    };
    for (double shown = 3; const auto& e : edits) {
        SCOPED_TRACE(&e - edits);
        e.edit();
        if (e.notices > notices) {
            EXPECT_EQ(store.doubleValue("delaySeconds"), shown) << "read only when it is announced";
        }
        loop.fire();
        shown = e.delay;
        EXPECT_EQ(store.doubleValue("delaySeconds"), e.delay);
        EXPECT_EQ(notices, e.notices);
    }
    EXPECT_EQ(store.parseCount(), 8u) << "each change parsed once, its own write not at all";
}

// Where the kernel can tell, a change is read and announced before any
// tick, in the folder a symlink leads to as well.
TEST_F(KeyFileUserDefaultsTest, KernelNoticesComeBeforeTheTick)
{
    put(path, 3);
    KeyFileUserDefaults store(path.string(), loop, options(true));
    double seen = 3;
    store.setOnExternalChange([&] { seen = store.doubleValue("delaySeconds"); });
    ASSERT_TRUE(store.hasKernelNotices());
    for (const double delay : { 7.0, 9.0 }) {
        delay == 7 ? swapForSymlink(delay) : put(elsewhere, delay);
        bool isLate = false;
        const auto deadline = ScheduledCall::after(5000, [&] { isLate = true; });
        while (seen != delay && !isLate)
            g_main_context_iteration(nullptr, TRUE);
        EXPECT_EQ(seen, delay);
    }
}

// How the user set the file up is kept. What cannot be written (a read-only
// file or directory, a FIFO or socket in its place) or read (mode 000: not
// corrupt) is left alone without blocking, this run keeps the value, and
// each cause is said once.
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
        enum class Kind { file, link, lockedDirectory, fifo, socket };
        const struct {
            Kind kind;
            fs::perms mode;
            std::string after; // "" when no regular file
            std::string failure; // "" when the save works
        } cases[] = {
            { Kind::link, fs::perms(0644), written, "" },
            { Kind::file, fs::perms::none, original, "Permission denied" },
            { Kind::file, fs::perms(0444), original, "the file is read-only" },
            { Kind::lockedDirectory, fs::perms(0600), original, "Permission denied" },
            { Kind::fifo, fs::perms(0600), "", "it is not a regular file" },
            { Kind::socket, fs::perms(0600), "", "it is not a regular file" },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(static_cast<int>(&c - cases));
            fs::remove_all(root / "dotfiles");
            fs::remove_all(directory);
            fs::create_directories(directory);
            const fs::path file = c.kind == Kind::link ? elsewhere : path;
            sockaddr_un address { AF_UNIX, {} };
            file.string().copy(address.sun_path, sizeof address.sun_path - 1);
            if (c.kind == Kind::fifo)
                EXPECT_EQ(::mkfifo(file.c_str(), 0600), 0);
            else if (c.kind == Kind::socket)
                EXPECT_EQ(
                    ::bind(::socket(AF_UNIX, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&address), sizeof address),
                    0);
            else
                writeFile(file, original);
            fs::permissions(file, c.mode);
            if (c.kind == Kind::link)
                fs::create_symlink(elsewhere, path);
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
        { "[Lullswitch]\nwri", "ter=1\n", 1 },
        { "[Lullswitch]\n", "writer=1\n", 1 },
        { "[Lullswitch]\nwriter=1\n", "", KeyFileUserDefaults::maximumRetries },
        { "[Lullswitch]\nwri", "", -1 },
    };
    fs::create_directories(directory);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first + c.rest);
        std::ofstream writer(path, std::ios::binary);
        writer << c.first << std::flush;
        now = FileIdentity::ofPath(path).modifiedSeconds() + 0.1;
        KeyFileUserDefaults store(path.string(), loop, options());
        store.setBool(false, "isEnabled");
        EXPECT_TRUE(store.object("isEnabled") == StoredObject(false)) << "shown at once";
        for (int tick = 1; tick < (c.ticksToWrite < 0 ? 20 : c.ticksToWrite); ++tick)
            loop.fire();
        EXPECT_EQ(readFile(path), c.first) << "not written while it is being written";
        EXPECT_EQ(entries(), 1);
        writer << c.rest << std::flush;
        now += c.rest.empty() ? 0 : KeyFileSnapshot::settleSeconds;
        loop.fire();
        EXPECT_EQ(readFile(path), c.ticksToWrite < 0 ? c.first : c.first + c.rest + "isEnabled=false\n");
    }
}

// Another program's file, put in place while a write was under way (as it
// was read, or as it was swapped in, once and again), is neither undone nor
// replaced: the write starts again from the newest. An empty file (a writer
// between truncating and writing) counts as the contents last known. A file
// that keeps changing, or a corrupt one with no free name to go aside to, is
// left as it is, and the reason given is the true one.
TEST_F(KeyFileUserDefaultsTest, AWriteNeverUndoesAnotherWriter)
{
    using Edits = std::vector<std::function<void()>>;
    const auto putting = [this](double delay) { return [this, delay] { put(path, delay, true); }; };
    // Found taken by looking, where renameat2 takes no flags.
    const auto takeEveryAsideName = [this] {
        renameFlagsMissing = true;
        writeFile(path, std::string(1, '\0'));
        for (const auto second : { std::time(nullptr), std::time(nullptr) + 1 })
            for (int n = 1; n <= 100; ++n)
                writeFile(
                    path.string() + ".corrupt-" + std::to_string(second) + (n > 1 ? "-" + std::to_string(n) : ""), "");
    };
    const std::string written = "isEnabled=false\n";
    const struct {
        std::function<void()> setUp;
        Edits atRead, atExchange;
        std::string failure, after;
    } cases[] = {
        { putting(3), { putting(4) }, {}, "", "[Lullswitch]\ndelaySeconds=4.000000\n" + written },
        { putting(3), { [&] { writeFile(path, ""); } }, {}, "", "[Lullswitch]\nx=1\n" + written },
        { [] {}, { putting(5) }, {}, "", "[Lullswitch]\ndelaySeconds=5.000000\n" + written },
        { putting(3), {}, { putting(4), putting(5) }, "", "[Lullswitch]\ndelaySeconds=5.000000\n" + written },
        { putting(3), Edits(9, putting(6)), {}, "the file kept changing while it was written",
            "[Lullswitch]\ndelaySeconds=6.000000\n" },
        { takeEveryAsideName, {}, {}, "File exists", std::string(1, '\0') },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        fs::remove_all(directory);
        c.setUp();
        const long before = fs::exists(directory) ? entries() : 0;
        beforeExchange = c.atExchange;
        std::size_t reads = 0;
        const auto outcome = KeyFileReplacer(
            path.string(), "Lullswitch", { { "isEnabled", "false" } }, "[Lullswitch]\nx=1\n", [&](auto&) {
                if (reads < c.atRead.size())
                    c.atRead[reads]();
                return ++reads, false;
            }).replace();
        EXPECT_EQ(outcome.failure, c.failure);
        EXPECT_EQ(readFile(path), c.after);
        EXPECT_EQ(entries(), std::max(before, 1L)) << "a temporary file left";
    }
    beforeExchange.clear();
}

} // namespace
} // namespace lullswitch::linux_backend

#include "platform/linux/KeyFileUserDefaults.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <utility>

namespace lullswitch::linux_backend {

namespace {

constexpr GKeyFileFlags loadFlags = static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS);

// Closes a descriptor once, on every path out.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) { }
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    // Reports what close says: on some filesystems a failed write shows here.
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

std::optional<std::string> readAll(int fd, std::size_t limit)
{
    std::string contents;
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (count == 0)
            return contents;
        contents.append(buffer, static_cast<std::size_t>(count));
        if (contents.size() > limit)
            return std::nullopt;
    }
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t count = ::write(fd, data.data(), data.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// A rename is only durable once the directory entry itself is on disk.
void syncDirectory(const std::string& directory)
{
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0)
        ::fsync(fd.get());
}

// Renames without replacing anything already there; false if `to` exists.
bool renameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // NOTE: some filesystems (older NFS) lack RENAME_NOREPLACE; check, then rename.
    struct stat status;
    if (::lstat(to.c_str(), &status) == 0) {
        errno = EEXIST;
        return false;
    }
    if (errno != ENOENT)
        return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string_view trimTrailingSpace(std::string_view text)
{
    while (!text.empty() && g_ascii_isspace(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace

bool KeyFileUserDefaults::FileIdentity::operator==(const FileIdentity& other) const
{
    if (exists != other.exists)
        return false;
    if (!exists)
        return true;
    return type == other.type && device == other.device && inode == other.inode && size == other.size
        && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec
        && changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

KeyFileUserDefaults::FileIdentity KeyFileUserDefaults::identityOf(const struct stat& status)
{
    FileIdentity identity;
    identity.exists = true;
    identity.type = status.st_mode & S_IFMT;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = status.st_size;
    identity.modified = status.st_mtim;
    identity.changed = status.st_ctim;
    return identity;
}

std::string KeyFileUserDefaults::defaultPath()
{
    // A relative XDG_CONFIG_HOME is invalid and ignored, as XDG says.
    std::string base;
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome && configHome[0] == '/') {
        base = configHome;
    } else {
        const char* home = std::getenv("HOME");
        base = home && home[0] ? home : g_get_home_dir();
        base += "/.config";
    }
    return base + "/lullswitch/preferences.ini";
}

KeyFileUserDefaults::KeyFileUserDefaults(std::string path) : path_(std::move(path)), keyFile_(g_key_file_new()) { }

void KeyFileUserDefaults::refresh()
{
    struct stat status;
    const FileIdentity current = ::stat(path_.c_str(), &status) == 0 ? identityOf(status) : FileIdentity {};
    if (hasLoaded_ && current == identity_)
        return;
    load(current);
}

void KeyFileUserDefaults::load(const FileIdentity& seen)
{
    keyFile_.reset(g_key_file_new());
    isCorrupt_ = false;
    hasLoaded_ = true;
    identity_ = seen;
    if (!seen.exists)
        return;

    // Non-blocking, so a FIFO put in the file's place cannot hang the agent.
    FileDescriptor fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status;
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0) {
        // Unreadable (say, mode 000): never overwrite what could not be read.
        isCorrupt_ = seen.type == S_IFREG;
        return;
    }
    // What was read is what this identity stands for, even if the file was
    // replaced between the stat and the open.
    identity_ = identityOf(status);
    if (!S_ISREG(status.st_mode))
        return;

    ++parseCount_;
    const auto contents = readAll(fd.get(), static_cast<std::size_t>(maximumFileSize));
    // GKeyFile stops a line at a NUL and would silently drop the rest on the
    // next write, so such a file counts as unparseable too.
    if (!contents || contents->find('\0') != std::string::npos
        || !g_key_file_load_from_data(keyFile_.get(), contents->data(), contents->size(), loadFlags, nullptr)) {
        keyFile_.reset(g_key_file_new());
        isCorrupt_ = true;
    }
}

std::optional<std::string> KeyFileUserDefaults::rawValue(std::string_view key)
{
    refresh();
    const std::string keyName(key);
    GMallocPtr<char> value(g_key_file_get_value(keyFile_.get(), groupName, keyName.c_str(), nullptr));
    if (!value)
        return std::nullopt;
    return std::string(value.get());
}

platform::StoredObject KeyFileUserDefaults::object(std::string_view key)
{
    const auto raw = rawValue(key);
    if (!raw)
        return platform::StoredObject::absent();
    // GKeyFile strips the space before a value, not after; a hand-edited
    // "false  " still means false.
    const std::string_view value = trimTrailingSpace(*raw);
    if (value == "true")
        return platform::StoredObject(true);
    if (value == "false")
        return platform::StoredObject(false);
    if (!value.empty()) {
        const std::string text(value);
        char* end = nullptr;
        const double number = g_ascii_strtod(text.c_str(), &end);
        if (end != text.c_str() && *end == '\0')
            return platform::StoredObject(number);
    }
    const std::string keyName(key);
    GMallocPtr<char> unescaped(g_key_file_get_string(keyFile_.get(), groupName, keyName.c_str(), nullptr));
    return platform::StoredObject(unescaped ? std::string(unescaped.get()) : *raw);
}

double KeyFileUserDefaults::doubleValue(std::string_view key)
{
    // As NSUserDefaults: a boolean counts as 1 or 0, text as no number.
    const auto stored = object(key);
    if (const double* number = stored.number())
        return *number;
    if (const bool* boolean = stored.boolean())
        return *boolean ? 1.0 : 0.0;
    return 0.0;
}

void KeyFileUserDefaults::setBool(bool value, std::string_view key)
{
    store(key, value ? "true" : "false");
}

void KeyFileUserDefaults::setDouble(double value, std::string_view key)
{
    // The shortest text that reads back as the same double ("2", "0.5"),
    // independent of the locale.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    store(key, std::string(buffer, result.ptr));
}

void KeyFileUserDefaults::store(std::string_view key, const std::string& rawValue)
{
    refresh();
    const std::string keyName(key);
    // Kept in memory even if the file cannot be written, so this process
    // keeps seeing what it was told until the file itself changes.
    g_key_file_set_value(keyFile_.get(), groupName, keyName.c_str(), rawValue.c_str());

    // Something other than a regular file (a directory, a FIFO) is in the
    // file's place: not ours to replace.
    if (identity_.exists && identity_.type != S_IFREG)
        return;

    // Through a symlink (dotfiles kept elsewhere) the target is replaced,
    // not the link.
    std::string target = path_;
    if (char* resolved = ::realpath(path_.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }

    if (isCorrupt_) {
        if (!moveAside(target))
            return;
        isCorrupt_ = false;
    }

    gsize length = 0;
    GMallocPtr<char> contents(g_key_file_to_data(keyFile_.get(), &length, nullptr));
    if (contents)
        writeFile(target, std::string_view(contents.get(), length));
}

bool KeyFileUserDefaults::moveAside(const std::string& target)
{
    const std::string stem = target + ".corrupt-" + std::to_string(std::time(nullptr));
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const std::string aside = attempt == 1 ? stem : stem + "-" + std::to_string(attempt);
        if (renameNoReplace(target, aside))
            return true;
        if (errno == ENOENT)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool KeyFileUserDefaults::writeFile(const std::string& target, std::string_view contents)
{
    GMallocPtr<char> directory(g_path_get_dirname(target.c_str()));
    GMallocPtr<char> name(g_path_get_basename(target.c_str()));
    if (g_mkdir_with_parents(directory.get(), 0700) != 0)
        return false;

    std::string temporary = std::string(directory.get()) + "/." + name.get() + ".XXXXXX";
    FileDescriptor fd(g_mkstemp_full(temporary.data(), O_RDWR | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        return false;
    struct stat written;
    const bool isWritten = ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), contents) && ::fsync(fd.get()) == 0
        && ::fstat(fd.get(), &written) == 0;
    if (!isWritten || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncDirectory(directory.get());

    // The rename touched the inode's change time. While the descriptor is
    // open the inode cannot be reused, so the same inode, size and mtime mean
    // it is still exactly what was written: remember that, and the next read
    // needs no parse.
    struct stat now;
    if (::stat(path_.c_str(), &now) == 0 && now.st_dev == written.st_dev && now.st_ino == written.st_ino
        && now.st_size == written.st_size && now.st_mtim.tv_sec == written.st_mtim.tv_sec
        && now.st_mtim.tv_nsec == written.st_mtim.tv_nsec)
        identity_ = identityOf(now);
    else
        identity_ = identityOf(written);
    fd.close();
    return true;
}

} // namespace lullswitch::linux_backend

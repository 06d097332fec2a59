#include "platform/linux/KeyFileReplacer.h"

#include "platform/linux/FileDescriptor.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <stdio.h>

#include <cerrno>
#include <ctime>
#include <string_view>
#include <utility>

namespace lullswitch::linux_backend {

namespace {

// Tries of a write that keeps finding the file replaced under it.
constexpr int maximumAttempts = 8;

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t count = ::write(fd, data.data(), data.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// A rename is only durable once the directory entry itself is on disk.
void syncDirectory(const std::string& directory)
{
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        ::fsync(fd.get());
}

bool exchange(const std::string& a, const std::string& b)
{
    return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
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
    return errno == ENOENT && ::rename(from.c_str(), to.c_str()) == 0;
}

// Moves an unparseable file aside under a name of its own; true when it is
// out of the way (or already gone).
bool moveAside(const std::string& target)
{
    const std::string stem = target + ".corrupt-" + std::to_string(std::time(nullptr));
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const std::string aside = attempt == 1 ? stem : stem + "-" + std::to_string(attempt);
        if (renameNoReplace(target, aside) || errno == ENOENT)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

std::string reasonOf(int error)
{
    return g_strerror(error);
}

KeyFileReplacer::Outcome failure(int error)
{
    return KeyFileReplacer::Outcome::failed(reasonOf(error));
}

} // namespace

// The new contents, written and synced beside the target; removed on
// destruction (after a swap, that is the file swapped out). Open until then,
// so its inode cannot be reused meanwhile.
class KeyFileReplacer::TemporaryFile {
public:
    TemporaryFile(const std::string& directory, const std::string& target, const std::string& contents, mode_t mode)
        : path_(directory + "/." + GMallocPtr<char>(g_path_get_basename(target.c_str())).get() + ".XXXXXX"),
          fd_(g_mkstemp_full(path_.data(), O_RDWR | O_CLOEXEC, 0600))
    {
        if (!fd_ || ::fchmod(fd_.get(), mode) != 0 || !writeAll(fd_.get(), contents) || ::fsync(fd_.get()) != 0
            || ::fstat(fd_.get(), &written_) != 0)
            error_ = errno;
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile()
    {
        if (fd_)
            ::unlink(path_.c_str());
    }

    const std::string& path() const { return path_; }
    const struct stat& written() const { return written_; }
    // errno of the step that failed; 0 when it is ready.
    int error() const { return error_; }

private:
    std::string path_;
    FileDescriptor fd_;
    struct stat written_ { };
    int error_ = 0;
};

KeyFileReplacer::KeyFileReplacer(std::string target, std::string group, const Values& values,
    std::optional<std::string> standIn, WaitCheck shouldWait)
    : target_(std::move(target)),
      directory_(GMallocPtr<char>(g_path_get_dirname(target_.c_str())).get()),
      group_(std::move(group)),
      values_(values),
      standIn_(std::move(standIn)),
      shouldWait_(std::move(shouldWait))
{
}

KeyFileReplacer::Outcome KeyFileReplacer::replace()
{
    for (int attempt = 0; attempt < maximumAttempts; ++attempt) {
        KeyFileSnapshot base = KeyFileSnapshot::read(target_);
        if (shouldWait_ && shouldWait_(base))
            return Outcome::waiting();
        if (base.state == KeyFileSnapshot::State::unparseable) {
            if (!moveAside(target_))
                return failure(errno);
            continue;
        }
        if (auto refusal = refusalFor(base))
            return Outcome::failed(*refusal);
        std::string contents = merge(base);
        if (g_mkdir_with_parents(directory_.c_str(), 0700) != 0)
            return failure(errno);
        const TemporaryFile temporary(
            directory_, target_, contents, base.identity.exists ? (base.identity.mode & 07777) : 0600);
        if (temporary.error() != 0)
            return failure(temporary.error());
        const Swap swap = swapIn(temporary, base.identity);
        if (swap == Swap::changedMeanwhile)
            continue;
        if (swap == Swap::failed)
            return failure(errno);
        syncDirectory(directory_);
        return { Outcome::Kind::replaced, std::move(base.keyFile), std::move(contents), identityAfter(temporary), {} };
    }
    return Outcome::failed("the file kept changing while it was written");
}

std::optional<std::string> KeyFileReplacer::refusalFor(const KeyFileSnapshot& base) const
{
    if (base.state == KeyFileSnapshot::State::notRegular)
        return "it is not a regular file";
    if (base.state == KeyFileSnapshot::State::unreadable)
        return reasonOf(base.readError);
    if (base.identity.exists && (base.identity.mode & S_IWUSR) == 0)
        return "the file is read-only";
    return std::nullopt;
}

// The file as it is now, with only these keys changed.
std::string KeyFileReplacer::merge(KeyFileSnapshot& base) const
{
    if (base.identity.exists && base.identity.size == 0 && standIn_)
        KeyFileSnapshot::parse(*standIn_, base.keyFile.get());
    for (const auto& [key, value] : values_)
        g_key_file_set_value(base.keyFile.get(), group_.c_str(), key.c_str(), value.c_str());
    return base.serialize();
}

KeyFileReplacer::Swap KeyFileReplacer::swapIn(const TemporaryFile& temporary, const FileIdentity& read) const
{
    if (!read.exists) {
        if (renameNoReplace(temporary.path(), target_))
            return Swap::replaced;
        return errno == EEXIST || errno == ENOENT ? Swap::changedMeanwhile : Swap::failed;
    }
    if (exchange(temporary.path(), target_))
        return confirmExchange(temporary, read);
    if (errno != EINVAL && errno != ENOSYS)
        return errno == ENOENT ? Swap::changedMeanwhile : Swap::failed;
    // NOTE: no atomic exchange on this filesystem; a plain rename.
    if (::rename(temporary.path().c_str(), target_.c_str()) == 0)
        return Swap::replaced;
    return errno == ENOENT ? Swap::changedMeanwhile : Swap::failed;
}

// What was swapped out must be the file that was read; if another program
// replaced it meanwhile, its file goes back.
KeyFileReplacer::Swap KeyFileReplacer::confirmExchange(const TemporaryFile& temporary, const FileIdentity& read) const
{
    struct stat displaced;
    if (::lstat(temporary.path().c_str(), &displaced) == 0 && read.hasSameContents(displaced))
        return Swap::replaced;
    // Should yet another replacement have come in between, what came back is
    // not this write but the newest: swap again.
    if (exchange(temporary.path(), target_) && ::lstat(temporary.path().c_str(), &displaced) == 0
        && displaced.st_ino != temporary.written().st_ino)
        exchange(temporary.path(), target_);
    return Swap::changedMeanwhile;
}

// The rename touched the inode's change time. While the temporary file is
// open its inode cannot be reused, so the same inode, size and mtime mean
// the file is still exactly what was written: its identity now is what a
// later stat will show, and neither a read nor the notice of this write
// parses it again.
FileIdentity KeyFileReplacer::identityAfter(const TemporaryFile& temporary) const
{
    const FileIdentity now = FileIdentity::ofPath(target_);
    return now.hasSameContents(temporary.written()) ? now : FileIdentity::of(temporary.written());
}

} // namespace lullswitch::linux_backend

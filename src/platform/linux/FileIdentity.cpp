#include "platform/linux/FileIdentity.h"

#include <filesystem>

namespace lullswitch::linux_backend {

namespace {

bool operator==(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

FileIdentity FileIdentity::of(const struct stat& status)
{
    return { true, status.st_mode, status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim };
}

FileIdentity FileIdentity::ofPath(const std::string& path)
{
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? of(status) : FileIdentity {};
}

std::string FileIdentity::resolvedPath(std::string path)
{
    std::error_code notALink;
    for (int hops = 0; hops < 40; ++hops) {
        const auto target = std::filesystem::read_symlink(path, notALink);
        if (notALink)
            break;
        path = (std::filesystem::path(path).parent_path() / target).string();
    }
    return path;
}

bool FileIdentity::operator==(const FileIdentity& other) const
{
    if (exists != other.exists)
        return false;
    return !exists
        || (mode == other.mode && isSameFile(other) && size == other.size && modified == other.modified
            && changed == other.changed);
}

bool FileIdentity::isSameFile(const FileIdentity& other) const
{
    return exists == other.exists && device == other.device && inode == other.inode;
}

bool FileIdentity::hasSameContents(const struct stat& status) const
{
    return exists && device == status.st_dev && inode == status.st_ino && size == status.st_size
        && modified == status.st_mtim;
}

} // namespace lullswitch::linux_backend

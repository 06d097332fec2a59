#pragma once

#include <sys/stat.h>

#include <string>

namespace lullswitch::linux_backend {

// What one stat tells about a file, enough to see any rewrite.
struct FileIdentity {
    bool exists = false;
    mode_t mode = 0;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified {};
    timespec changed {};

    static FileIdentity of(const struct stat& status);
    // Through symlinks; absent where the name leads to nothing that can be stat'ed.
    static FileIdentity ofPath(const std::string& path);
    // Follows symlinks, dangling ones too, to the file a name stands for.
    static std::string resolvedPath(std::string path);

    bool operator==(const FileIdentity& other) const;
    bool isRegular() const { return exists && S_ISREG(mode); }
    // The same inode, whatever has changed inside it.
    bool isSameFile(const FileIdentity& other) const;
    // The same inode, size and modification time: the same contents, even
    // where a rename has touched the change time.
    bool hasSameContents(const struct stat& status) const;
    double modifiedSeconds() const { return static_cast<double>(modified.tv_sec) + modified.tv_nsec / 1e9; }
};

} // namespace lullswitch::linux_backend

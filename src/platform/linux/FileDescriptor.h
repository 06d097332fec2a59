#pragma once

#include <unistd.h>

#include <utility>

namespace lullswitch::linux_backend {

// A file descriptor, closed once.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) { }
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) { }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        reset();
        fd_ = std::exchange(other.fd_, -1);
        return *this;
    }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    void reset()
    {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

    int fd_;
};

} // namespace lullswitch::linux_backend

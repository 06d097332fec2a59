#include "platform/linux/KeyFileSnapshot.h"

#include "platform/linux/FileDescriptor.h"

#include <fcntl.h>

#include <cerrno>
#include <cmath>
#include <optional>
#include <string_view>

namespace lullswitch::linux_backend {

namespace {

constexpr GKeyFileFlags loadFlags = static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS);
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

std::optional<std::string> readAll(int fd, std::size_t limit)
{
    std::string contents;
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return std::nullopt;
        if (count == 0)
            return contents;
        contents.append(buffer, static_cast<std::size_t>(count));
        if (contents.size() > limit)
            return std::nullopt;
    }
}

} // namespace

KeyFileSnapshot KeyFileSnapshot::read(const std::string& file)
{
    KeyFileSnapshot snapshot;
    snapshot.keyFile.reset(g_key_file_new());
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status;
    if (!fd || ::fstat(fd.get(), &status) != 0) {
        // A file that could not be opened is not corrupt, whatever the cause.
        const int error = errno;
        snapshot.identity = FileIdentity::ofPath(file);
        if (snapshot.identity.isRegular() || error == EACCES) {
            snapshot.state = State::unreadable;
            snapshot.readError = error;
        } else if (snapshot.identity.exists) {
            snapshot.state = State::notRegular;
        }
        return snapshot;
    }
    // What was read is what this identity stands for, even if the file was
    // replaced between a stat and the open.
    snapshot.identity = FileIdentity::of(status);
    if (!S_ISREG(status.st_mode)) {
        snapshot.state = State::notRegular;
        return snapshot;
    }
    auto contents = readAll(fd.get(), static_cast<std::size_t>(maximumSize));
    std::string_view text = contents ? std::string_view(*contents) : std::string_view();
    snapshot.endsMidLine = !text.empty() && text.back() != '\n';
    snapshot.hasByteOrderMark = text.starts_with(byteOrderMark);
    const bool isParsed = contents && parse(text, snapshot.keyFile.get());
    snapshot.state = isParsed ? State::parsed : State::unparseable;
    if (!isParsed)
        snapshot.keyFile.reset(g_key_file_new());
    return snapshot;
}

bool KeyFileSnapshot::parse(std::string_view text, GKeyFile* into)
{
    // GKeyFile stops a line at a NUL and would silently drop the rest on the
    // next write, so such a file counts as unparseable too.
    if (text.starts_with(byteOrderMark))
        text.remove_prefix(byteOrderMark.size());
    return text.find('\0') == std::string_view::npos
        && g_key_file_load_from_data(into, text.data(), text.size(), loadFlags, nullptr);
}

std::string KeyFileSnapshot::serialize() const
{
    gsize length = 0;
    GMallocPtr<char> data(g_key_file_to_data(keyFile.get(), &length, nullptr));
    return (hasByteOrderMark ? std::string(byteOrderMark) : std::string()) + std::string(data.get(), length);
}

bool KeyFileSnapshot::isBeingWritten(double now) const
{
    if (!identity.isRegular())
        return false;
    const double age = std::abs(now - identity.modifiedSeconds());
    return age < (endsMidLine ? unterminatedSettleSeconds : settleSeconds);
}

} // namespace lullswitch::linux_backend

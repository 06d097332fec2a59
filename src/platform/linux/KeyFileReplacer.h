#pragma once

#include "platform/linux/FileIdentity.h"
#include "platform/linux/GLibHandles.h"
#include "platform/linux/KeyFileSnapshot.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace lullswitch::linux_backend {

// Sets keys of one group in a key file by writing a new file beside it and
// swapping that in, and only over the very file it read: another program's
// edit made meanwhile is read again and kept, never put back to older
// contents. It keeps the file's permission bits and byte-order mark, leaves
// a file its owner may not write or this process may not read alone, and
// moves a file that is not a key file aside rather than overwrite it.
class KeyFileReplacer {
public:
    using Values = std::map<std::string, std::string, std::less<>>;
    // Whether to leave a file as it is for now (another program writing it).
    using WaitCheck = std::function<bool(const KeyFileSnapshot& file)>;

    struct Outcome {
        enum class Kind { replaced, waiting, failed } kind = Kind::failed;
        // Replaced: what the file holds now, and the file as written.
        GKeyFilePtr keyFile;
        std::string contents;
        FileIdentity identity;
        // Failed: the system's reason, errno-style.
        std::string failure;

        static Outcome waiting() { return { Kind::waiting, {}, {}, {}, {} }; }
        static Outcome failed(std::string reason) { return { Kind::failed, {}, {}, {}, std::move(reason) }; }
    };

    // `target` is the file itself, symlinks already followed. An empty file
    // found there is another program between truncating and writing it:
    // `standIn`, the last contents known, takes its place.
    KeyFileReplacer(std::string target, std::string group, const Values& values, std::optional<std::string> standIn,
        WaitCheck shouldWait);

    Outcome replace();

private:
    class TemporaryFile;
    enum class Swap { replaced, changedMeanwhile, failed };

    std::optional<std::string> refusalFor(const KeyFileSnapshot& base) const;
    std::string merge(KeyFileSnapshot& base) const;
    Swap swapIn(const TemporaryFile& temporary, const FileIdentity& read) const;
    Swap confirmExchange(const TemporaryFile& temporary, const FileIdentity& read) const;
    FileIdentity identityAfter(const TemporaryFile& temporary) const;

    std::string target_;
    std::string directory_;
    std::string group_;
    const Values& values_;
    std::optional<std::string> standIn_;
    WaitCheck shouldWait_;
};

} // namespace lullswitch::linux_backend

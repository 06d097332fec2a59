#pragma once

#include "platform/linux/FileIdentity.h"
#include "platform/linux/GLibHandles.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace lullswitch::linux_backend {

// A key file as read at one moment: what it holds and what state it was in.
struct KeyFileSnapshot {
    enum class State {
        absent,
        parsed,
        // Not a key file (or too large to be ours): moved aside before a write.
        unparseable,
        // Its owner or mode bars this process: left alone, never overwritten.
        unreadable,
        notRegular,
    };
    static constexpr std::int64_t maximumSize = 1 << 20;
    // How long after its last change a file may still be mid-write; longer
    // when its last line has no end yet.
    static constexpr double settleSeconds = 1.0;
    static constexpr double unterminatedSettleSeconds = 5.0;

    // Never blocks: a FIFO in the file's place reads as not regular.
    static KeyFileSnapshot read(const std::string& file);
    // Loads key-file text into `into`, after any byte-order mark; false
    // when it is not a key file (a NUL in it is taken for damage).
    static bool parse(std::string_view text, GKeyFile* into);
    // The text of keyFile, with the byte-order mark the file had.
    std::string serialize() const;
    // Whether another program may still be writing it at `now` (seconds
    // since the epoch).
    bool isBeingWritten(double now) const;

    FileIdentity identity;
    GKeyFilePtr keyFile;
    State state = State::absent;
    // errno of the read that failed, for an unreadable file.
    int readError = 0;
    // A UTF-8 byte-order mark opened the file; a write keeps it.
    bool hasByteOrderMark = false;
    bool endsMidLine = false;
};

} // namespace lullswitch::linux_backend

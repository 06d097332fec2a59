#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lullswitch {
struct InputSourceIdentifiers;
}

namespace lullswitch::platform {

class InputSourceServices;

// One counted reference to an opaque platform input source. Copying retains,
// destruction releases, so every reference is released exactly once. A null
// reference (an empty array slot) holds nothing.
class InputSourceRef {
public:
    InputSourceRef() = default;
    // Adopts a reference the caller already owns (a Copy/Create result).
    static InputSourceRef adopt(InputSourceServices& owner, void* handle)
    {
        return InputSourceRef(handle ? &owner : nullptr, handle);
    }

    InputSourceRef(const InputSourceRef& other);
    InputSourceRef(InputSourceRef&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), handle_(std::exchange(other.handle_, nullptr))
    {
    }
    InputSourceRef& operator=(InputSourceRef other) noexcept
    {
        std::swap(owner_, other.owner_);
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~InputSourceRef();

    explicit operator bool() const { return handle_ != nullptr; }
    void* handle() const { return handle_; }

private:
    InputSourceRef(InputSourceServices* owner, void* handle) : owner_(owner), handle_(handle) { }

    InputSourceServices* owner_ = nullptr;
    void* handle_ = nullptr;
};

enum class InputSourceFlag { isSelectCapable, isASCIICapable };

// What select returns: 0 when the source is now active, otherwise why not.
// (macOS hands back its call's own status, 0 on success too.)
struct SelectStatus {
    static constexpr std::int32_t selected = 0;
    // The framework behind the source does not run.
    static constexpr std::int32_t notRunning = 1;
    static constexpr std::int32_t callFailed = 2;
    static constexpr std::int32_t notTakenEffect = 3;
    // Kana being composed would be thrown away.
    static constexpr std::int32_t composing = 4;
};

// The platform's text input sources. Every result is read afresh; nothing is
// cached by the caller.
class InputSourceServices {
public:
    virtual ~InputSourceServices() = default;

    // The source now selected for keyboard input, or a null reference.
    virtual InputSourceRef copyCurrentKeyboardInputSource() = 0;
    // The enabled sources in the platform's order (slots may be null), or
    // nothing when the platform gives no list.
    virtual std::optional<std::vector<InputSourceRef>> createEnabledInputSourceList() = 0;
    // Missing when the source lacks the property or the platform has no such
    // property at all.
    virtual std::optional<std::string> identifier(const InputSourceRef& source) = 0;
    virtual std::optional<bool> flag(const InputSourceRef& source, InputSourceFlag flag) = 0;
    // A SelectStatus.
    virtual std::int32_t select(const InputSourceRef& source) = 0;

    // Which identifier set names this platform's sources.
    virtual const InputSourceIdentifiers& identifiers() const = 0;

protected:
    friend class InputSourceRef;
    virtual void retain(void* handle) = 0;
    virtual void release(void* handle) = 0;
};

inline InputSourceRef::InputSourceRef(const InputSourceRef& other) : owner_(other.owner_), handle_(other.handle_)
{
    if (handle_)
        owner_->retain(handle_);
}

inline InputSourceRef::~InputSourceRef()
{
    if (handle_)
        owner_->release(handle_);
}

} // namespace lullswitch::platform

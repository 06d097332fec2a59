#include "platform/linux/KeyFileUserDefaults.h"

#include <charconv>
#include <cstdlib>
#include <utility>

namespace lullswitch::linux_backend {

namespace {

std::string_view trimTrailingSpace(std::string_view text)
{
    while (!text.empty() && g_ascii_isspace(text.back()))
        text.remove_suffix(1);
    return text;
}

double realTime()
{
    return static_cast<double>(g_get_real_time()) / G_USEC_PER_SEC;
}

} // namespace

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

KeyFileUserDefaults::KeyFileUserDefaults(std::string path, platform::MainLoop& mainLoop, Options options)
    : path_(std::move(path)),
      mainLoop_(mainLoop),
      options_(std::move(options)),
      keyFile_(g_key_file_new()),
      monitor_(
          path_, mainLoop, [this] { onFileMaybeChanged(); }, options_.useKernelNotices)
{
    if (!options_.now)
        options_.now = realTime;
}

KeyFileUserDefaults::KeyFileUserDefaults(std::string path, platform::MainLoop& mainLoop)
    : KeyFileUserDefaults(std::move(path), mainLoop, Options {})
{
}

void KeyFileUserDefaults::onFileMaybeChanged()
{
    if (reloadIfChanged() && onExternalChange_)
        onExternalChange_();
}

void KeyFileUserDefaults::loadOnce()
{
    if (!hasLoaded_)
        reload();
}

bool KeyFileUserDefaults::reloadIfChanged()
{
    if (hasLoaded_ && FileIdentity::ofPath(path_) == identity_)
        return false;
    reload();
    return true;
}

void KeyFileUserDefaults::reload()
{
    hasLoaded_ = true;
    auto snapshot = KeyFileSnapshot::read(path_);
    identity_ = snapshot.identity;
    if (snapshot.state == KeyFileSnapshot::State::unreadable) {
        reportOnce(Problem::unreadable,
            "lullswitch: cannot read the settings in " + path_ + " (" + g_strerror(snapshot.readError)
                + "); the values in use stay");
        return;
    }
    if (snapshot.state == KeyFileSnapshot::State::parsed) {
        ++parseCount_;
        if (snapshot.identity.size > 0)
            knownContents_ = snapshot.serialize();
    }
    keyFile_ = std::move(snapshot.keyFile);
    // What waits to be written is what this process shows meanwhile.
    for (const auto& [key, value] : pending_)
        g_key_file_set_value(keyFile_.get(), groupName, key.c_str(), value.c_str());
    parsedObjects_.clear();
}

platform::StoredObject KeyFileUserDefaults::object(std::string_view key)
{
    loadOnce();
    // Parsed once per version of the file: the idle watcher reads two keys
    // four times a second.
    if (const auto parsed = parsedObjects_.find(key); parsed != parsedObjects_.end())
        return parsed->second;
    auto parsed = parse(key);
    parsedObjects_.emplace(std::string(key), parsed);
    return parsed;
}

platform::StoredObject KeyFileUserDefaults::parse(std::string_view key) const
{
    const std::string keyName(key);
    GMallocPtr<char> raw(g_key_file_get_value(keyFile_.get(), groupName, keyName.c_str(), nullptr));
    if (!raw)
        return platform::StoredObject::absent();
    // GKeyFile strips the space before a value, not after; a hand-edited
    // "false  " still means false.
    const std::string value(trimTrailingSpace(raw.get()));
    if (value == "true" || value == "false")
        return platform::StoredObject(value == "true");
    char* end = nullptr;
    const double number = g_ascii_strtod(value.c_str(), &end);
    if (!value.empty() && *end == '\0')
        return platform::StoredObject(number);
    GMallocPtr<char> unescaped(g_key_file_get_string(keyFile_.get(), groupName, keyName.c_str(), nullptr));
    return platform::StoredObject(std::string(unescaped ? unescaped.get() : raw.get()));
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
    loadOnce();
    const std::string keyName(key);
    // Kept in memory even if the file cannot be written, so this process
    // keeps seeing what it was told until the file itself changes.
    g_key_file_set_value(keyFile_.get(), groupName, keyName.c_str(), rawValue.c_str());
    parsedObjects_.erase(keyName);
    pending_[keyName] = rawValue;
    retries_ = 0;
    writePending();
}

void KeyFileUserDefaults::writePending()
{
    const std::string target = FileIdentity::resolvedPath(path_);
    auto outcome = KeyFileReplacer(target, groupName, pending_, knownContents_, [this](const KeyFileSnapshot& file) {
        return shouldWaitFor(file);
    }).replace();
    if (outcome.kind == KeyFileReplacer::Outcome::Kind::waiting) {
        if (!retry_)
            retry_ = mainLoop_.scheduleRepeating(retrySeconds, [this] {
                ++retries_;
                writePending();
            });
        return;
    }
    pending_.clear();
    retry_.reset();
    if (outcome.kind == KeyFileReplacer::Outcome::Kind::failed)
        reportOnce(Problem::unsaved,
            "lullswitch: cannot save the setting in " + target + " (" + outcome.failure
                + "); it holds only until the agent quits");
    else
        takeWritten(outcome);
}

// A file changed a moment ago by another program may be half written: it is
// neither merged into nor moved aside until it has settled. One that never
// settles is merged into after the last retry, never moved aside.
bool KeyFileUserDefaults::shouldWaitFor(const KeyFileSnapshot& file) const
{
    if (file.identity == ownWrite_ || !file.isBeingWritten(options_.now()))
        return false;
    return retries_ < maximumRetries || file.state == KeyFileSnapshot::State::unparseable;
}

void KeyFileUserDefaults::takeWritten(KeyFileReplacer::Outcome& outcome)
{
    keyFile_ = std::move(outcome.keyFile);
    parsedObjects_.clear();
    knownContents_ = std::move(outcome.contents);
    identity_ = ownWrite_ = outcome.identity;
    hasLoaded_ = true;
}

void KeyFileUserDefaults::reportOnce(Problem problem, const std::string& message)
{
    if (options_.report && reported_.insert(message).second)
        options_.report(problem, message);
}

} // namespace lullswitch::linux_backend

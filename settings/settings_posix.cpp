// The settings file on Linux: "KORVIN.INI" in $XDG_CONFIG_HOME/quorvane
// (~/.config/quorvane without it), read and written as the Windows program's
// private-profile functions do: section and key names in any letter case,
// blanks around names and values ignored, every other line kept as it was.
// (A read-only INI parser would not keep the rest of the file on save.)
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings.h"

namespace {

// $XDG_CONFIG_HOME/quorvane, else HOME's (or the password database's)
// .config/quorvane; "" when there is no home to keep settings in. Never
// the current folder.
std::string SettingsFolder()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config == '/') return std::string(config) + "/quorvane";
    const char* home = std::getenv("HOME");
    if (!home || *home != '/') {
        const passwd* user = getpwuid(getuid());
        home = user && user->pw_dir && *user->pw_dir == '/' ? user->pw_dir : nullptr;
    }
    return home ? std::string(home) + "/.config/quorvane" : std::string();
}

std::string SettingsPath()
{
    std::string folder = SettingsFolder();
    return folder.empty() ? folder : folder + "/" + kSettingsFile;
}

std::string ReadWholeFile(const std::string& path)
{
    std::string text;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return text;
    char block[4096];
    size_t count;
    while ((count = std::fread(block, 1, sizeof block, file)) > 0) text.append(block, count);
    std::fclose(file);
    return text;
}

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// "[name]" with blanks allowed inside; sets `name`.
bool IsSectionLine(const std::string& line, std::string& name)
{
    std::string trimmed = Trim(line);
    if (trimmed.size() < 2 || trimmed.front() != '[' || trimmed.back() != ']') return false;
    name = Trim(trimmed.substr(1, trimmed.size() - 2));
    return true;
}

// "key = value"; false for comments and lines without '='.
bool IsKeyLine(const std::string& line, std::string& key, std::string& value)
{
    std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') return false;
    size_t equals = trimmed.find('=');
    if (equals == std::string::npos) return false;
    key = Trim(trimmed.substr(0, equals));
    value = Trim(trimmed.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return true;
}

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// Where things stand in the file: the line that holds the key, or where a
// new key line goes (after the section's last non-blank line), or neither
// when the section is missing.
struct KeyPlace {
    size_t keyLine = std::string::npos;      // offset of the key's line
    size_t keyLineEnd = std::string::npos;   // offset after its line end
    size_t insertAt = std::string::npos;     // offset for a new key line
    std::string value;
};

KeyPlace FindKey(const std::string& text, const char* key)
{
    KeyPlace place;
    bool inSection = false;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start), name, value;
        if (IsSectionLine(line, name)) {
            inSection = SameName(name, kSettingsSection);
            if (inSection && place.insertAt == std::string::npos) place.insertAt = end;
        } else if (inSection && IsKeyLine(line, name, value) && SameName(name, key) &&
                   place.keyLine == std::string::npos) {
            place.keyLine = start;
            place.keyLineEnd = end;
            place.value = value;
        }
        if (inSection && !Trim(line).empty()) place.insertAt = end;
        start = end;
    }
    return place;
}

void ReadFileText(void*, const char* key, const char* defaultText, char* text, size_t size)
{
    if (size == 0) return;
    std::string path = SettingsPath();
    KeyPlace place = FindKey(path.empty() ? std::string() : ReadWholeFile(path), key);
    const char* found = place.keyLine != std::string::npos ? place.value.c_str() : defaultText;
    std::snprintf(text, size, "%s", found);
}

bool Fail(char* error, size_t errorSize, const char* what, const std::string& path)
{
    std::snprintf(error, errorSize, "%s %s: %s", what, path.c_str(), std::strerror(errno));
    return false;
}

// The folder and its parent, for a first save (private, as settings are).
bool MakeFolders(const std::string& folder, char* error, size_t errorSize)
{
    std::string parent = folder.substr(0, folder.rfind('/'));
    for (const std::string& each : {parent, folder}) {
        if (mkdir(each.c_str(), 0700) != 0 && errno != EEXIST) return Fail(error, errorSize, "cannot make", each);
    }
    return true;
}

// The file a save replaces: the settings file, or the file it links to, so
// that a link stays a link. Sets `mode` to the file's own, or to what a new
// file gets.
bool TargetOf(const std::string& path, std::string& target, mode_t& mode, char* error, size_t errorSize)
{
    struct stat status = {};
    if (lstat(path.c_str(), &status) != 0) {
        if (errno != ENOENT) return Fail(error, errorSize, "cannot look at", path);
        mode_t mask = umask(0);
        umask(mask);
        target = path;
        mode = 0666 & ~mask;
        return true;
    }
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved) || stat(resolved, &status) != 0)
        return Fail(error, errorSize, "cannot follow", path);
    if (!S_ISREG(status.st_mode)) {
        std::snprintf(error, errorSize, "%s is not a regular file", resolved);
        return false;
    }
    target = resolved;
    mode = status.st_mode & 07777;
    return true;
}

// The whole text goes into a new file made exclusively beside the target
// (no name anyone could have planted), which is then renamed over it: a
// failure never leaves half a file, and nothing else is ever written.
bool ReplaceFile(const std::string& target, mode_t mode, const std::string& text, char* error, size_t errorSize)
{
    std::string temporary = target.substr(0, target.rfind('/')) + "/.KORVIN.INI.XXXXXX";
    int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) return Fail(error, errorSize, "cannot write beside", target);
    bool written = fchmod(fd, mode) == 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
    written = (close(fd) == 0) && written;
    if (written && std::rename(temporary.c_str(), target.c_str()) == 0) return true;
    Fail(error, errorSize, "cannot write", target);
    unlink(temporary.c_str());
    return false;
}

bool WriteFileText(void*, const char* key, const char* value, char* error, size_t errorSize)
{
    std::string folder = SettingsFolder();
    if (folder.empty()) {
        std::snprintf(error, errorSize, "no home folder to keep the settings in (HOME is not set)");
        return false;
    }
    std::string target;
    mode_t mode = 0;
    if (!MakeFolders(folder, error, errorSize) ||
        !TargetOf(folder + "/" + kSettingsFile, target, mode, error, errorSize))
        return false;
    std::string text = ReadWholeFile(target);
    // New lines end as the file's lines do.
    std::string eol = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    std::string line = std::string(key) + "=" + value + eol;
    KeyPlace place = FindKey(text, key);
    if (place.keyLine != std::string::npos) {
        text.replace(place.keyLine, place.keyLineEnd - place.keyLine, line);
    } else if (place.insertAt != std::string::npos) {
        if (place.insertAt > 0 && text[place.insertAt - 1] != '\n') line = eol + line;
        text.insert(place.insertAt, line);
    } else {
        if (!text.empty() && text.back() != '\n') text += eol;
        text += std::string("[") + kSettingsSection + "]" + eol + line;
    }
    return ReplaceFile(target, mode, text, error, errorSize);
}

}  // namespace

SettingsStore PlatformSettingsStore() { return SettingsStore{nullptr, ReadFileText, WriteFileText}; }

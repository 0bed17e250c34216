#include "release_names.h"
#include "signed_statement.h"

#include <cstdio>
#include <map>

namespace {

const char kServerPrefix[] = "/latest/";
const size_t kServerPrefixLength = sizeof(kServerPrefix) - 1;
const size_t kMaxJoinedPath = 519;         // the patcher's path buffers hold 520 bytes
const size_t kMaxInstallFolder = 249;      // longest installation folder a client may have
const char kManifestName[] = "manifest.txt"; // the manifest's own place in the release

// Characters that Windows never accepts in a file name ('\' and ':' have
// rules of their own).
const char kWindowsForbidden[] = "<>\"|?*";

// Names that Windows opens as devices, with or without an extension.
const char *const kDeviceNames[] = {
    "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
    "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9",
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

bool SameIgnoringCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    }
    return true;
}

bool EndsWithOld(const std::string &name)
{
    return name.size() >= 4 && SameIgnoringCase(name.substr(name.size() - 4), ".old");
}

// The device a name stands for under Windows, or null.
const char *DeviceNamed(const std::string &name)
{
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && (stem.back() == ' '))
        stem.pop_back();
    for (const char *device : kDeviceNames) {
        if (SameIgnoringCase(stem, device))
            return device;
    }
    return nullptr;
}

// The patcher splits manifest paths at both separators.
bool HasDotDotComponent(const std::string &manifest_path)
{
    size_t start = 0;
    while (start <= manifest_path.size()) {
        size_t end = manifest_path.find_first_of("\\/", start);
        if (end == std::string::npos)
            end = manifest_path.size();
        if (manifest_path.compare(start, end - start, "..") == 0)
            return true;
        start = end + 1;
    }
    return false;
}

std::string Hex(unsigned char c)
{
    char text[8];
    snprintf(text, sizeof(text), "0x%02X", c);
    return text;
}

std::string RuleForBytes(const std::string &manifest_path)
{
    for (unsigned char c : manifest_path) {
        if (IsControl(c))
            return "contains the control byte " + Hex(c) + ", which a manifest line cannot carry";
    }
    for (char c : manifest_path) {
        if (c == ':')
            return "contains ':', which the patcher refuses";
    }
    return "";
}

std::string RuleForParts(const NameParts &parts)
{
    for (const std::string &part : parts) {
        if (part.find('\\') != std::string::npos)
            return "contains '\\', which the patcher reads as a folder separator";
        size_t bad = part.find_first_of(kWindowsForbidden);
        if (bad != std::string::npos)
            return std::string("contains '") + part[bad] + "', which Windows does not allow in names";
        if (const char *device = DeviceNamed(part))
            return std::string("is named like the Windows device ") + device;
    }
    return "";
}

// Windows compares names without regard to case and drops trailing dots
// and blanks; two names with the same key are one file there.
std::string WindowsKey(const std::string &part)
{
    std::string key;
    for (char c : part)
        key += AsciiUpper(c);
    while (!key.empty() && (key.back() == '.' || key.back() == ' '))
        key.pop_back();
    return key;
}

// The first rule that the name breaks, or "".
std::string RefusalFor(const NameParts &parts)
{
    std::string path = ManifestPathOf(parts);
    if (parts.empty() || path.empty())
        return "has no name";
    if (HasDotDotComponent(path))
        return "has a \"..\" component, which the patcher refuses";
    if (IsBlank(path.front()))
        return "begins with a blank, which the manifest format strips";
    if (IsBlank(path.back()))
        return "ends with a blank, which the manifest format strips";
    std::string rule = RuleForBytes(path);
    if (!rule.empty())
        return rule;
    if (EndsWithOld(parts.back()))
        return "ends in \".old\", which the patcher deletes as a leftover";
    if (kServerPrefixLength + path.size() > kMaxJoinedPath)
        return "its server path has " + std::to_string(kServerPrefixLength + path.size()) +
               " characters, more than " + std::to_string(kMaxJoinedPath);
    if (parts.size() == 1 && SameIgnoringCase(parts[0], kManifestName))
        return "would take the place of the manifest";
    if (parts.size() == 1 && !ReservedNameRule(parts[0]).empty())
        return ReservedNameRule(parts[0]);
    return RuleForParts(parts);
}

} // namespace

std::string ManifestPathOf(const NameParts &parts)
{
    std::string path;
    for (size_t i = 0; i < parts.size(); i++) {
        if (i > 0)
            path += '\\';
        path += parts[i];
    }
    return path;
}

std::string ShownPathOf(const NameParts &parts)
{
    std::string shown;
    for (size_t i = 0; i < parts.size(); i++) {
        if (i > 0)
            shown += '/';
        for (unsigned char c : parts[i]) {
            if (IsControl(c))
                shown += "\\x" + Hex(c).substr(2);
            else
                shown += (char)c;
        }
    }
    return shown;
}

NameVerdict JudgeReleaseName(const NameParts &parts)
{
    NameVerdict verdict;
    verdict.refusal = RefusalFor(parts);
    if (!verdict.refusal.empty())
        return verdict;

    std::string path = ManifestPathOf(parts);
    if (kMaxInstallFolder + 1 + path.size() > kMaxJoinedPath) {
        verdict.warnings.push_back(
            "has " + std::to_string(path.size()) + " characters: below an installation folder of " +
            std::to_string(kMaxInstallFolder) + " characters the joined path would pass " +
            std::to_string(kMaxJoinedPath) + " and the patcher could not install it");
    }
    for (unsigned char c : path) {
        if (c >= 0x80) {
            verdict.warnings.push_back(
                "holds bytes outside ASCII, which each client reads in its own ANSI code page");
            break;
        }
    }
    return verdict;
}

std::vector<std::string> FindWindowsNameClashes(const std::vector<NameParts> &files)
{
    std::map<std::string, std::string> taken; // key of a file or folder -> its shown path
    std::vector<std::string> clashes;
    for (const NameParts &parts : files) {
        std::string key;
        for (size_t i = 0; i < parts.size(); i++) {
            key += (i > 0 ? "\\" : "") + WindowsKey(parts[i]);
            NameParts prefix(parts.begin(), parts.begin() + (long)i + 1);
            std::string shown = ShownPathOf(prefix);
            auto found = taken.find(key);
            if (found == taken.end()) {
                taken[key] = shown;
            } else if (found->second != shown) {
                clashes.push_back(ShownPathOf(parts) + ": is the same name as \"" + found->second +
                                  "\" on Windows, which ignores case and trailing dots and blanks");
                break;
            } else if (i + 1 == parts.size()) {
                break; // a file listed twice is the scan's business
            }
        }
    }
    return clashes;
}

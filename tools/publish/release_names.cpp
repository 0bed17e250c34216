#include "release_names.h"
#include "signed_statement.h"

#include "patch/path_rules.h"

#include <cstdio>
#include <map>

namespace {

const char kServerPrefix[] = "/latest/";
const size_t kMaxJoinedPath = kJoinedPathCapacity - 1; // the patcher's path buffers
const size_t kMaxInstallFolder = 249;      // longest installation folder a client may have
const char kManifestName[] = "manifest.txt"; // the manifest's own place in the release

// Characters that Windows never accepts in a file name ('\' and ':' have
// rules of their own).
const char kWindowsForbidden[] = "<>\"|?*";

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
    for (unsigned char c : manifest_path) {
        if (c >= 0x80)
            return "holds bytes outside ASCII, which each client reads in its own ANSI code "
                   "page: players would get the file under other names";
    }
    return "";
}

// The patcher's own rule, with the reason it refuses.
std::string RuleOfThePatcher(const std::string &manifest_path)
{
    switch (FindPathFault(manifest_path.c_str())) {
    case kPathSafe:
        return "";
    case kPathEmpty:
        return "has no name";
    case kPathDotDot:
        return "has a \"..\" component, which the patcher refuses";
    case kPathColon:
        return "contains ':', which the patcher refuses";
    case kPathDroppedEnd:
        return "has a name ending in '.' or ' ', which Windows drops; the patcher refuses it";
    case kPathDeviceName:
        return "has a name that Windows opens as a device (CON, PRN, AUX, NUL, COM1-9, "
               "LPT1-9); the patcher refuses it";
    case kPathStaging:
        return std::string("would lie in \"") + kStagingFolderName +
               "\", the folder where the patcher keeps its downloads";
    case kPathQuickCheck:
        return std::string("would lie in \"") + kQuickCheckFolderName +
               "\", the folder where the patcher keeps the record of its quick check";
    }
    return "is refused by the patcher";
}

// The length of the path that clients request, escapes included.
size_t ServerPathLength(const std::string &manifest_path)
{
    std::vector<char> out(sizeof(kServerPrefix) + 3 * manifest_path.size());
    JoinServerPath(kServerPrefix, manifest_path.c_str(), out.data(), (int)out.size());
    return std::string(out.data()).size();
}

std::string RuleForParts(const NameParts &parts)
{
    for (const std::string &part : parts) {
        if (part.find('\\') != std::string::npos)
            return "contains '\\', which the patcher reads as a folder separator";
        size_t bad = part.find_first_of(kWindowsForbidden);
        if (bad != std::string::npos)
            return std::string("contains '") + part[bad] + "', which Windows does not allow in names";
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
    if (IsBlank(path.front()))
        return "begins with a blank, which the manifest format strips";
    if (IsBlank(path.back()))
        return "ends with a blank, which the manifest format strips";
    std::string rule = RuleOfThePatcher(path);
    if (rule.empty())
        rule = RuleForBytes(path);
    if (!rule.empty())
        return rule;
    if (EndsWithOld(parts.back()))
        return "ends in \".old\", which the patcher deletes as a leftover";
    size_t server_length = ServerPathLength(path);
    if (server_length > kMaxJoinedPath)
        return "its server path has " + std::to_string(server_length) + " characters, more than " +
               std::to_string(kMaxJoinedPath);
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

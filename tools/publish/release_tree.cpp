#include "release_tree.h"

#include "site_platform.h"

#include <algorithm>
#include <system_error>

namespace {

struct Walk {
    fs::path root;                  // the release folder, canonical
    std::vector<fs::path> open;     // canonical folders being walked, outermost first
    ReleaseScan *scan;
    std::string *error;
};

bool IsInside(const fs::path &path, const fs::path &folder)
{
    fs::path relative = path.lexically_relative(folder);
    return !relative.empty() && *relative.begin() != "..";
}

void Refuse(Walk *walk, const NameParts &parts, const std::string &rule)
{
    walk->scan->refusals.push_back(ShownPathOf(parts) + ": " + rule);
}

bool WalkFolder(Walk *walk, const fs::path &folder, const NameParts &above);

// A file or folder reached through a name of the release folder.
bool TakeEntry(Walk *walk, const fs::path &path, const NameParts &parts)
{
    EntryKind kind = ClassifyEntry(path);
    fs::path source = path;
    if (kind == EntryKind::kLink) {
        std::string why;
        if (!ResolveLink(path, &source, &why)) {
            Refuse(walk, parts, why);
            return true;
        }
        if (source != walk->root && !IsInside(source, walk->root)) {
            Refuse(walk, parts, "is a symbolic link that points outside the release folder");
            return true;
        }
        std::error_code code;
        kind = fs::is_directory(source, code) ? EntryKind::kFolder
               : fs::is_regular_file(source, code) ? EntryKind::kFile
                                                    : EntryKind::kOther;
    }
    if (kind == EntryKind::kFile) {
        walk->scan->files.push_back({source, parts, ManifestPathOf(parts)});
        return true;
    }
    if (kind != EntryKind::kFolder) {
        Refuse(walk, parts, "is neither a file nor a folder");
        return true;
    }
    std::error_code code;
    fs::path real = fs::canonical(source, code);
    if (code) {
        *walk->error = source.u8string() + ": " + code.message();
        return false;
    }
    if (std::find(walk->open.begin(), walk->open.end(), real) != walk->open.end()) {
        Refuse(walk, parts, "is a symbolic link to a folder that holds it");
        return true;
    }
    walk->open.push_back(real);
    bool ok = WalkFolder(walk, source, parts);
    walk->open.pop_back();
    return ok;
}

bool WalkFolder(Walk *walk, const fs::path &folder, const NameParts &above)
{
    std::vector<fs::path> entries;
    if (!ListFolder(folder, &entries, walk->error))
        return false;
    for (const fs::path &entry : entries) {
        NameParts parts = above;
        parts.emplace_back();
        if (!NameBytes(entry.filename(), &parts.back())) {
            parts.back() = entry.filename().u8string();
            Refuse(walk, parts, "has characters that the ANSI code page cannot hold");
            continue;
        }
        if (!TakeEntry(walk, entry, parts))
            return false;
    }
    return true;
}

} // namespace

bool ScanRelease(const fs::path &folder, ReleaseScan *scan, std::string *error)
{
    *scan = ReleaseScan();
    std::error_code code;
    Walk walk;
    walk.root = fs::canonical(folder, code);
    walk.scan = scan;
    walk.error = error;
    if (code || !fs::is_directory(walk.root, code)) {
        *error = folder.u8string() + ": " + (code ? code.message() : "not a folder");
        return false;
    }
    walk.open.push_back(walk.root);
    if (!WalkFolder(&walk, walk.root, NameParts()))
        return false;

    std::sort(scan->files.begin(), scan->files.end(),
              [](const ReleaseFile &a, const ReleaseFile &b) { return a.manifest_path < b.manifest_path; });
    std::vector<NameParts> names;
    for (const ReleaseFile &file : scan->files) {
        NameVerdict verdict = JudgeReleaseName(file.parts);
        if (!verdict.refusal.empty())
            scan->refusals.push_back(ShownPathOf(file.parts) + ": " + verdict.refusal);
        for (const std::string &warning : verdict.warnings)
            scan->warnings.push_back(ShownPathOf(file.parts) + ": " + warning);
        names.push_back(file.parts);
    }
    for (const std::string &clash : FindWindowsNameClashes(names))
        scan->refusals.push_back(clash);
    return true;
}

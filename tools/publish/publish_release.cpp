#include "publish_release.h"

#include "file_crc.h"
#include "manifest_text.h"
#include "release_signing.h"
#include "release_tree.h"
#include "site_platform.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <system_error>

namespace {

const char kReleasesFolder[] = "releases";
const char kLatestFolder[] = "latest";
const char kManifestName[] = "manifest.txt";
const char kIncomingPrefix[] = ".incoming-"; // a release being written; never served as one
// Beside a release that is complete but not yet shown: a run stopped before
// its switch left it, and the next run removes it.
const char kUnswitchedPrefix[] = ".unswitched-";
const size_t kMaxIdLength = 64;

struct PublishCounts {
    size_t copied;
    size_t linked;
    uintmax_t bytes;
};

bool IsGoodId(const std::string &id)
{
    if (id.empty() || id.size() > kMaxIdLength || id[0] == '.')
        return false;
    for (char c : id) {
        bool good = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
        if (!good)
            return false;
    }
    return true;
}

// The UTC time of the publish, with a counter behind it when that name is
// taken already.
std::string MakeId(const fs::path &releases)
{
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", std::gmtime(&now));
    std::string id = stamp;
    std::error_code code;
    for (int serial = 2; fs::exists(releases / id, code); serial++)
        id = std::string(stamp) + "-" + std::to_string(serial);
    return id;
}

bool IsWithin(const fs::path &path, const fs::path &folder)
{
    fs::path relative = path.lexically_relative(folder);
    return !relative.empty() && *relative.begin() != "..";
}

fs::path RelativePathOf(const NameParts &parts)
{
    fs::path relative;
    for (const std::string &part : parts)
        relative /= PathFromBytes(part);
    return relative;
}

// Makes the missing folders from top down to folder, each readable by the
// web server.
bool MakeFolders(const fs::path &top, const fs::path &folder, std::string *error)
{
    std::error_code code;
    if (folder == top || fs::is_directory(folder, code))
        return true;
    if (!MakeFolders(top, folder.parent_path(), error))
        return false;
    fs::create_directory(folder, code);
    if (code) {
        *error = folder.u8string() + ": " + code.message();
        return false;
    }
    return MakeReadable(folder, error);
}

// Hard-links the file of the release now shown when it has the same bytes,
// and copies it otherwise; top is the release folder being written.
bool PlaceFile(const ReleaseFile &file, const fs::path &previous, const fs::path &target,
               const fs::path &top, IoBuffers *buffers, uint32_t *crc, PublishCounts *counts,
               std::string *error)
{
    std::error_code code;
    if (!MakeFolders(top, target.parent_path(), error))
        return false;
    uintmax_t size = fs::file_size(file.source, code);
    if (code) {
        *error = file.source.u8string() + ": " + code.message();
        return false;
    }
    counts->bytes += size;
    bool same = false;
    std::error_code other;
    if (fs::is_regular_file(previous, other) && fs::file_size(previous, other) == size && !other) {
        if (!CompareFiles(file.source, previous, buffers, &same, crc, error))
            return false;
    }
    if (same) {
        fs::create_hard_link(previous, target, code);
        if (!code) {
            counts->linked++;
            return true;
        }
    }
    if (!CopyFileWithChecksum(file.source, target, buffers, crc, error) ||
        !MakeReadable(target, error))
        return false;
    counts->copied++;
    return true;
}

bool WriteWholeFile(const fs::path &path, const std::string &text, std::string *error)
{
    std::FILE *file = OpenFile(path, "wb");
    bool ok = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file && std::fclose(file) != 0)
        ok = false;
    if (!ok)
        *error = "cannot write " + path.u8string();
    return ok && MakeReadable(path, error);
}

// Web servers and caches tell file versions apart by modification time in
// whole seconds and size (nginx's ETag and Last-Modified), and caches
// revalidate /latest/ objects with them. Every file this publish writes
// therefore gets a time in a later second than the manifest of the release
// shown so far, the last file the publish before wrote: a changed file of
// the same size never shows a validator of an earlier file at its path, even
// when two publishes fall within one second. Linked files keep theirs.
fs::file_time_type FirstTimeAfter(const fs::path &shown)
{
    std::error_code code;
    if (shown.empty())
        return fs::file_time_type::min();
    fs::file_time_type previous = fs::last_write_time(shown / kManifestName, code);
    if (code)
        return fs::file_time_type::min();
    auto second = std::chrono::floor<std::chrono::seconds>(previous.time_since_epoch());
    return fs::file_time_type(second + std::chrono::seconds(1));
}

bool KeepNotBefore(const fs::path &path, fs::file_time_type not_before, std::string *error)
{
    std::error_code code;
    fs::file_time_type written = fs::last_write_time(path, code);
    if (!code && written < not_before)
        fs::last_write_time(path, not_before, code);
    if (code)
        *error = path.u8string() + ": " + code.message();
    return !code;
}

// Writes every file and then the manifest into the folder; files with the
// same bytes as in the release shown (empty: none) are linked to it.
bool WriteRelease(const ReleaseScan &scan, const fs::path &folder, const fs::path &shown,
                  PublishCounts *counts, std::string *error)
{
    IoBuffers buffers = MakeIoBuffers();
    std::vector<ManifestLine> lines;
    fs::file_time_type not_before = FirstTimeAfter(shown);
    for (const ReleaseFile &file : scan.files) {
        fs::path relative = RelativePathOf(file.parts);
        fs::path previous = shown.empty() ? fs::path() : shown / relative;
        uint32_t crc = 0;
        size_t copied = counts->copied;
        if (!PlaceFile(file, previous, folder / relative, folder, &buffers, &crc, counts, error))
            return false;
        if (counts->copied != copied && !KeepNotBefore(folder / relative, not_before, error))
            return false;
        lines.push_back({crc, file.manifest_path});
    }
    return WriteWholeFile(folder / kManifestName, FormatManifest(lines), error) &&
           KeepNotBefore(folder / kManifestName, not_before, error);
}

void Print(std::string *stream, const std::string &kind, const std::vector<std::string> &lines)
{
    for (const std::string &line : lines)
        *stream += kind + ": " + line + "\n";
}

// Empty when the release may be written; otherwise why not.
std::string Obstacle(const PublishOptions &options, const ReleaseScan &scan)
{
    std::error_code code;
    fs::path release = fs::canonical(options.release, code);
    fs::path root = fs::weakly_canonical(options.root, code);
    if (code)
        return options.root.u8string() + ": " + code.message();
    if (root == release || IsWithin(root, release))
        return "the web root lies inside the release folder";
    if (!scan.refusals.empty())
        return std::to_string(scan.refusals.size()) + " name(s) refused";
    if (scan.files.empty())
        return "the release folder holds no files";
    if (!options.id.empty() && !IsGoodId(options.id))
        return "release id \"" + options.id + "\" must be 1 to 64 letters, digits, '.', '_' or '-', not starting with '.'";
    return "";
}

// Removes what runs that were stopped left: releases being written, and
// releases written whole but never shown. Only while holding the root's lock.
void RemoveLeftovers(const fs::path &root)
{
    fs::path releases = root / kReleasesFolder;
    RecoverSwitch(root);
    std::vector<fs::path> entries;
    std::string error;
    if (!ListFolder(releases, &entries, &error))
        return;
    for (const fs::path &entry : entries) {
        std::string name = entry.filename().u8string();
        if (name.rfind(kIncomingPrefix, 0) == 0)
            RemoveTree(entry);
        if (name.rfind(kUnswitchedPrefix, 0) != 0)
            continue;
        std::string id = name.substr(sizeof(kUnswitchedPrefix) - 1);
        if (!MayShowRelease(root, id))
            RemoveTree(releases / id);
        RemoveTree(entry);
    }
}

// Obstacles that only the site shows, read while holding its lock.
std::string SiteObstacle(const PublishOptions &options)
{
    std::string latest = LatestProblem(options.root);
    if (!latest.empty())
        return latest;
    std::error_code code;
    if (!options.id.empty() && fs::exists(options.root / kReleasesFolder / options.id, code))
        return "release " + options.id + " exists already";
    return "";
}

// Makes the web root and its releases folder, readable by the web server
// when this run makes them.
bool MakeSiteFolders(const fs::path &root, std::string *error)
{
    for (const fs::path &folder : {root, root / kReleasesFolder}) {
        std::error_code code;
        if (fs::is_directory(folder, code))
            continue;
        fs::create_directories(folder, code);
        if (code) {
            *error = folder.u8string() + ": " + code.message();
            return false;
        }
        if (!MakeReadable(folder, error))
            return false;
    }
    return true;
}

bool MakeMarker(const fs::path &path, std::string *error)
{
    std::FILE *file = OpenFile(path, "wb");
    if (!file || std::fclose(file) != 0) {
        *error = "cannot write " + path.u8string();
        return false;
    }
    return true;
}

bool Rename(const fs::path &from, const fs::path &to, std::string *error)
{
    std::error_code code;
    fs::rename(from, to, code);
    if (code)
        *error = "cannot rename " + from.u8string() + " to " + to.u8string() + ": " + code.message();
    return !code;
}

// Writes the release as id and switches latest to it; on failure latest
// shows what it showed before. Only while holding the root's lock.
bool PublishLocked(const ReleaseScan &scan, const PublishOptions &options, const std::string &id,
                   PublishCounts *counts, std::string *signed_summary, std::string *error)
{
    const fs::path &root = options.root;
    fs::path releases = root / kReleasesFolder;
    fs::path incoming = releases / (kIncomingPrefix + id + "-" + UniqueSuffix());
    fs::path marker = releases / (kUnswitchedPrefix + id);
    fs::path finished = releases / id;
    fs::path shown = ShownRelease(root); // read once: files are compared and linked there
    std::error_code code;
    bool ok = fs::create_directory(incoming, code);
    if (!ok)
        *error = incoming.u8string() + ": " + (code ? code.message() : "exists already");
    ok = ok && MakeReadable(incoming, error);
    ok = ok && WriteRelease(scan, incoming, shown, counts, error);
    ok = ok && (options.keys.empty() ||
                WriteSignedStatement(incoming, shown, options.keys, options.valid_days,
                                     signed_summary, error));
    ok = ok && FlushToDisk(root, error);
    ok = ok && MakeMarker(marker, error);
    bool renamed = ok && Rename(incoming, finished, error);
    ok = renamed && FlushFolder(releases, error) && SwitchLatest(root, id, error);
    if (!ok) {
        RemoveTree(incoming);
        if (renamed && !MayShowRelease(root, id))
            RemoveTree(finished);
    }
    RemoveTree(marker);
    return ok;
}

} // namespace

int PublishRelease(const PublishOptions &options, ToolOutput *output)
{
    auto started = std::chrono::steady_clock::now();
    ReleaseScan scan;
    std::string error;
    if (!ScanRelease(options.release, &scan, &error)) {
        output->err += "error: " + error + "\nnothing published\n";
        return 1;
    }
    Print(&output->err, "refused", scan.refusals);
    Print(&output->err, "warning", scan.warnings);
    std::string obstacle = Obstacle(options, scan);
    if (!obstacle.empty()) {
        output->err += "nothing published: " + obstacle + "\n";
        return 1;
    }

    // One publish at a time changes the site, from the first look at it to
    // the switch: two would take one ID or read latest as the other changes it.
    RootLock lock = {-1};
    if (!MakeSiteFolders(options.root, &error) ||
        !LockRoot(options.root / kReleasesFolder, &lock, &error)) {
        output->err += "error: " + error + "\nnothing published\n";
        return 1;
    }
    RemoveLeftovers(options.root);
    obstacle = SiteObstacle(options);
    std::string id = options.id.empty() ? MakeId(options.root / kReleasesFolder) : options.id;
    PublishCounts counts = {0, 0, 0};
    std::string signed_summary;
    bool published =
        obstacle.empty() && PublishLocked(scan, options, id, &counts, &signed_summary, &error);
    // The switch is a rename in the root: durable once the root is flushed.
    bool durable = published && FlushFolder(options.root, &error);
    UnlockRoot(&lock);
    if (!obstacle.empty()) {
        output->err += "nothing published: " + obstacle + "\n";
        return 1;
    }
    if (!published) {
        output->err += "error: " + error + "\nnothing published\n";
        return 1;
    }
    if (!durable) {
        output->err += "error: " + error + "\nlatest shows release " + id +
                       ", but a crash may still undo the switch\n";
        return 1;
    }

    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char summary[256];
    std::snprintf(summary, sizeof(summary),
                  "published release %s: %zu files, %ju bytes (%zu copied, %zu linked to the "
                  "previous release) in %.1f s\n",
                  id.c_str(), scan.files.size(), counts.bytes, counts.copied, counts.linked,
                  seconds);
    output->out += summary + signed_summary;
    return 0;
}

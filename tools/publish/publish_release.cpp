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

// Hard-links the file of the release now shown when it has the same bytes,
// and copies it otherwise.
bool PlaceFile(const ReleaseFile &file, const fs::path &previous, const fs::path &target,
               IoBuffers *buffers, uint32_t *crc, PublishCounts *counts, std::string *error)
{
    std::error_code code;
    fs::create_directories(target.parent_path(), code);
    if (code) {
        *error = target.parent_path().u8string() + ": " + code.message();
        return false;
    }
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
    if (!CopyFileWithChecksum(file.source, target, buffers, crc, error))
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
    return ok;
}

// Web servers and caches tell file versions apart by modification time in
// whole seconds and size (nginx's ETag and Last-Modified), and caches
// revalidate /latest/ objects with them. Every file this publish writes
// therefore gets a time in a later second than the manifest of the release
// shown so far, the last file the publish before wrote: a changed file of
// the same size never shows a validator of an earlier file at its path, even
// when two publishes fall within one second. Linked files keep theirs.
fs::file_time_type FirstTimeAfter(const fs::path &latest)
{
    std::error_code code;
    fs::file_time_type previous = fs::last_write_time(latest / kManifestName, code);
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

// Writes every file and then the manifest into the folder.
bool WriteRelease(const ReleaseScan &scan, const fs::path &folder, const fs::path &latest,
                  PublishCounts *counts, std::string *error)
{
    IoBuffers buffers = MakeIoBuffers();
    std::vector<ManifestLine> lines;
    fs::file_time_type not_before = FirstTimeAfter(latest);
    for (const ReleaseFile &file : scan.files) {
        fs::path relative = RelativePathOf(file.parts);
        uint32_t crc = 0;
        size_t copied = counts->copied;
        if (!PlaceFile(file, latest / relative, folder / relative, &buffers, &crc, counts, error))
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
    std::string latest = LatestProblem(options.root);
    if (!latest.empty())
        return latest;
    if (!options.id.empty() && !IsGoodId(options.id))
        return "release id \"" + options.id + "\" must be 1 to 64 letters, digits, '.', '_' or '-', not starting with '.'";
    if (!options.id.empty() && fs::exists(options.root / kReleasesFolder / options.id, code))
        return "release " + options.id + " exists already";
    return "";
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

    fs::path releases = options.root / kReleasesFolder;
    std::error_code code;
    fs::create_directories(releases, code);
    std::string id = options.id.empty() ? MakeId(releases) : options.id;
    fs::path incoming = releases / (kIncomingPrefix + id);
    fs::path finished = releases / id;
    PublishCounts counts = {0, 0, 0};
    bool ok = !code;
    if (!ok)
        error = releases.u8string() + ": " + code.message();
    if (ok) {
        RemoveTree(incoming); // left by a run that stopped half way
        ok = fs::create_directory(incoming, code) && !code;
        if (!ok)
            error = incoming.u8string() + ": " + code.message();
    }
    ok = ok && WriteRelease(scan, incoming, options.root / kLatestFolder, &counts, &error);
    std::string signed_summary;
    ok = ok && (options.keys.empty() ||
                WriteSignedStatement(incoming, options.root / kLatestFolder, options.keys,
                                     options.valid_days, &signed_summary, &error));
    ok = ok && FlushToDisk(options.root, &error);
    if (ok) {
        fs::rename(incoming, finished, code);
        ok = !code;
        if (!ok)
            error = finished.u8string() + ": " + code.message();
    }
    if (ok && !SwitchLatest(options.root, id, &error)) {
        RemoveTree(finished);
        ok = false;
    }
    if (!ok) {
        RemoveTree(incoming);
        output->err += "error: " + error + "\nnothing published\n";
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

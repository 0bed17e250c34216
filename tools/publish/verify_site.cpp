#include "verify_site.h"

#include "file_crc.h"
#include "manifest_text.h"
#include "release_names.h"
#include "signed_statement.h"
#include "site_platform.h"

#include <cstdio>
#include <set>
#include <system_error>

namespace {

const char kLatestFolder[] = "latest";
const char kManifestName[] = "manifest.txt";

// The entry's names as the patcher splits them, at either separator.
NameParts SplitEntryPath(const std::string &path)
{
    NameParts parts;
    std::string part;
    for (size_t i = 0; i <= path.size(); i++) {
        char c = i < path.size() ? path[i] : '/';
        if (c != '/' && c != '\\') {
            part += c;
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    return parts;
}

std::string Joined(const std::vector<std::string> &parts)
{
    std::string joined;
    for (const std::string &part : parts)
        joined += (joined.empty() ? "" : "/") + part;
    return joined;
}

struct Tally {
    size_t missing;
    size_t changed;
    size_t unlisted;
    size_t refused;
};

// Every file under the folder that no entry lists, the manifest aside.
bool ReportUnlisted(const fs::path &folder, const std::string &above,
                    const std::set<std::string> &listed, ToolOutput *output, Tally *tally)
{
    std::vector<fs::path> entries;
    std::string error;
    if (!ListFolder(folder, &entries, &error)) {
        output->err += "error: " + error + "\n";
        return false;
    }
    for (const fs::path &entry : entries) {
        std::string name;
        NameBytes(entry.filename(), &name);
        std::string joined = above.empty() ? name : above + "/" + name;
        if (ClassifyEntry(entry) == EntryKind::kFolder) {
            if (!ReportUnlisted(entry, joined, listed, output, tally))
                return false;
        } else if (joined != kManifestName && joined != kSignedStatementName &&
                   !listed.count(joined)) {
            output->out += "unlisted: " + joined + "\n";
            tally->unlisted++;
        }
    }
    return true;
}

} // namespace

int VerifySite(const fs::path &root, ToolOutput *output)
{
    fs::path latest = root / kLatestFolder;
    std::string text;
    if (!ReadWholeFile(latest / kManifestName, &text)) {
        output->err += "error: cannot read " + (latest / kManifestName).u8string() + "\n";
        return 2;
    }
    std::vector<ManifestLine> entries = ReadManifest(text);
    IoBuffers buffers = MakeIoBuffers();
    std::set<std::string> listed;
    Tally tally = {0, 0, 0, 0};
    std::vector<NameParts> names;
    for (const ManifestLine &entry : entries) {
        // Judged as publish judges a release file: a path that the patcher
        // refuses is never opened.
        NameParts parts = SplitEntryPath(entry.path);
        listed.insert(Joined(parts));
        names.push_back(parts);
        std::string refusal = JudgeReleaseName(parts).refusal;
        if (!refusal.empty()) {
            output->out += "refused: " + entry.path + ": " + refusal + "\n";
            tally.refused++;
            continue;
        }
        fs::path file = latest;
        for (const std::string &part : parts)
            file /= PathFromBytes(part);
        std::error_code code;
        if (!fs::is_regular_file(file, code)) {
            output->out += "missing: " + entry.path + "\n";
            tally.missing++;
            continue;
        }
        uint32_t crc = 0;
        std::string error;
        if (!ChecksumFile(file, &buffers, &crc, &error)) {
            output->out += "missing: " + entry.path + " (" + error + ")\n";
            tally.missing++;
        } else if (crc != entry.crc) {
            output->out += "changed: " + entry.path + ": the manifest lists " +
                           std::to_string(entry.crc) + ", the file has " + std::to_string(crc) + "\n";
            tally.changed++;
        }
    }
    for (const std::string &clash : FindWindowsNameClashes(names)) {
        output->out += "refused: " + clash + "\n";
        tally.refused++;
    }
    if (!ReportUnlisted(latest, "", listed, output, &tally))
        return 2;

    char summary[256];
    std::snprintf(summary, sizeof(summary),
                  "verify: %zu entries; %zu missing, %zu changed, %zu unlisted, %zu refused\n",
                  entries.size(), tally.missing, tally.changed, tally.unlisted, tally.refused);
    output->out += summary;
    bool clean = tally.missing + tally.changed + tally.unlisted + tally.refused == 0;
    return clean ? 0 : 1;
}

#include "release_tool.h"

#include "publish_release.h"
#include "release_signing.h"
#include "site_platform.h"
#include "verify_site.h"

namespace {

const char kUsage[] =
    "usage: release-tool publish [--id ID] [--key PRIVATE_KEY... [--valid-days N]]\n"
    "                            RELEASE_FOLDER WEB_ROOT\n"
    "       release-tool verify [--key PUBLIC_KEY] WEB_ROOT\n"
    "publish writes RELEASE_FOLDER to WEB_ROOT/releases/ID/ with its manifest and then\n"
    "switches WEB_ROOT/latest to it; verify checks WEB_ROOT/latest/ against its manifest.\n"
    "With --key, publish also signs the release (good for N days, default 30; 0 makes a\n"
    "statement that has expired already), with each key given (two while keys change),\n"
    "and verify checks that one signature holds for the key. Keys are ECDSA P-256 in\n"
    "PEM files; signing needs the Linux build of the tool.\n"
    "Exit codes: 0 done; 1 refused, failed or problems found; 2 bad command line or,\n"
    "for verify, no readable manifest.\n";

int Usage(ToolOutput *output)
{
    output->err += kUsage;
    return 2;
}

} // namespace

int RunReleaseTool(const std::vector<std::string> &arguments, ToolOutput *output)
{
    if (arguments.empty())
        return Usage(output);
    const std::string &command = arguments[0];
    if (command == "verify" && arguments.size() == 2)
        return VerifySite(PathFromBytes(arguments[1]), output);
    if (command == "verify" && arguments.size() == 4 && arguments[1] == "--key") {
        int site = VerifySite(PathFromBytes(arguments[3]), output);
        int signature = VerifySignedRelease(PathFromBytes(arguments[3]),
                                            PathFromBytes(arguments[2]), output);
        return site > signature ? site : signature;
    }
    if (command != "publish")
        return Usage(output);

    PublishOptions options;
    bool days_given = false;
    std::vector<std::string> folders;
    for (size_t i = 1; i < arguments.size(); i++) {
        bool has_value = i + 1 < arguments.size() && !arguments[i + 1].empty();
        if (arguments[i] == "--id" && has_value)
            options.id = arguments[++i];
        else if (arguments[i] == "--key" && has_value)
            options.keys.push_back(PathFromBytes(arguments[++i]));
        else if (arguments[i] == "--valid-days" && has_value && !days_given) {
            const std::string &days = arguments[++i];
            if (days.size() > 4 || days.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(days) > kMaxValidDays)
                return Usage(output);
            options.valid_days = std::stoi(days);
            days_given = true;
        }
        else if (!arguments[i].empty() && arguments[i][0] == '-')
            return Usage(output);
        else
            folders.push_back(arguments[i]);
    }
    if (folders.size() != 2 || (days_given && options.keys.empty()))
        return Usage(output);
    std::string error;
    for (const fs::path &key : options.keys) {
        if (!CheckSigningKey(key, &error)) {
            output->err += "error: " + error + "\nnothing published\n";
            return 1;
        }
    }
    options.release = PathFromBytes(folders[0]);
    options.root = PathFromBytes(folders[1]);
    return PublishRelease(options, output);
}

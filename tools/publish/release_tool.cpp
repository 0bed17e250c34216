#include "release_tool.h"

#include "publish_release.h"
#include "site_platform.h"
#include "verify_site.h"

namespace {

const char kUsage[] =
    "usage: release-tool publish [--id ID] RELEASE_FOLDER WEB_ROOT\n"
    "       release-tool verify WEB_ROOT\n"
    "publish writes RELEASE_FOLDER to WEB_ROOT/releases/ID/ with its manifest and then\n"
    "switches WEB_ROOT/latest to it; verify checks WEB_ROOT/latest/ against its manifest.\n"
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
    if (command != "publish")
        return Usage(output);

    PublishOptions options;
    std::vector<std::string> folders;
    for (size_t i = 1; i < arguments.size(); i++) {
        if (arguments[i] == "--id" && i + 1 < arguments.size() && !arguments[i + 1].empty())
            options.id = arguments[++i];
        else if (!arguments[i].empty() && arguments[i][0] == '-')
            return Usage(output);
        else
            folders.push_back(arguments[i]);
    }
    if (folders.size() != 2)
        return Usage(output);
    options.release = PathFromBytes(folders[0]);
    options.root = PathFromBytes(folders[1]);
    return PublishRelease(options, output);
}

#include "release_signing.h"

namespace {

const char kNoSigning[] =
    "this build of the release tool cannot sign or check signatures: that needs OpenSSL, "
    "which only the Linux build has";

} // namespace

bool CheckSigningKey(const fs::path &, std::string *error)
{
    *error = kNoSigning;
    return false;
}

bool WriteSignedStatement(const fs::path &, const fs::path &, const std::vector<fs::path> &,
                          int, std::string *, std::string *error)
{
    *error = kNoSigning;
    return false;
}

int VerifySignedRelease(const fs::path &, const fs::path &, ToolOutput *output)
{
    output->err += std::string("error: ") + kNoSigning + "\n";
    return 2;
}

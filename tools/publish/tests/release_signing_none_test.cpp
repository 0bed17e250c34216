// The Windows build of the release tool has no OpenSSL: asked to sign or to
// check a signature, it says so and writes nothing.
#include "release_tool.h"
#include "site_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

TEST(SigningWithoutOpenSsl, RefusesBeforeWritingAnything)
{
    auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path dir = fs::temp_directory_path() / ("release-signing-none-" + std::to_string(ticks));
    fs::create_directories(dir / "release");
    std::ofstream(dir / "release" / "a.txt") << "alpha";
    fs::path root = dir / "www";

    ToolOutput published, verified;
    int publish = RunReleaseTool({"publish", "--key", (dir / "key.pem").string(),
                                  (dir / "release").string(), root.string()},
                                 &published);
    int verify = RunReleaseTool({"verify", "--key", (dir / "key.pub.pem").string(), root.string()},
                                &verified);

    EXPECT_EQ(publish, 1);
    EXPECT_NE(published.err.find("only the Linux build"), std::string::npos) << published.err;
    EXPECT_FALSE(fs::exists(root)) << "written before the refusal";
    EXPECT_EQ(verify, 2);
    EXPECT_NE(verified.err.find("only the Linux build"), std::string::npos) << verified.err;
    RemoveTree(dir);
}

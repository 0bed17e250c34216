// The Windows build of the release tool publishes, and the patcher's own
// manifest parser and CRC-32 read the result: the tool's zlib checksums and
// the patcher's must agree on every file.
#include "patch/manifest.h"
#include "release_tool.h"
#include "support/temp_folder.h"
#include "transfer/crc32.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// Writes the file, making the folders of its '\'-separated path first.
bool WriteReleaseFile(const std::string &folder, const std::string &path, const std::string &bytes)
{
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
        CreateDirectoryA((folder + "\\" + path.substr(0, at)).c_str(), NULL);
    return WriteWholeFile(folder + "\\" + path, bytes);
}

TEST(PublishRoundTrip, ThePatcherReadsEveryPathAndChecksum)
{
    TempFolder temp;
    std::string release = temp.Join("release");
    std::string root = temp.Join("www");
    CreateDirectoryA(release.c_str(), NULL);
    const std::map<std::string, std::string> files = {
        {"game.exe", PseudoRandomBytes(70000, 1)},
        {"Data Files\\Level 01\\map one.bsp", PseudoRandomBytes(4096, 2)},
        {"Data Files\\Level 01\\empty.dat", ""},
        {"3rd party\\0readme.txt", "123456789"},
        {"v1.2.3\\.hidden.cfg", "x"},
        {"v1.2.3\\..name...txt", "dots"},
        {"a\\b\\c\\d\\e\\f\\deep.txt", "deep"},
        {"Textures\\Stone.dds", PseudoRandomBytes(5 * 1024 * 1024 + 3, 3)},
        {"Models\\STONE.DDS", PseudoRandomBytes(2 * 1024 * 1024, 4)},
        {"big.pak", PseudoRandomBytes(4096 * 3, 5)},
    };
    for (const auto &file : files)
        ASSERT_TRUE(WriteReleaseFile(release, file.first, file.second)) << file.first;

    ToolOutput output;
    ASSERT_EQ(RunReleaseTool({"publish", release, root}, &output), 0) << output.err;

    std::string text;
    ASSERT_TRUE(ReadWholeFile(root + "\\latest\\manifest.txt", &text));
    UpdateManifest manifest = {nullptr, nullptr, 0};
    ASSERT_EQ(ParseManifest(text.c_str(), &manifest), 1);
    ASSERT_EQ(manifest.count, files.size());
    std::string previous;
    for (DWORD i = 0; i < manifest.count; i++) {
        std::string path = manifest.paths[i];
        EXPECT_EQ(files.count(path), 1u) << path;
        EXPECT_LT(previous, path) << "entries out of order";
        previous = path;

        DWORD published = 0;
        DWORD original = 0;
        EXPECT_EQ(FileCrc32((root + "\\latest\\" + path).c_str(), &published), 1) << path;
        EXPECT_EQ(FileCrc32((release + "\\" + path).c_str(), &original), 1) << path;
        EXPECT_EQ(manifest.checksums[i], published) << path;
        EXPECT_EQ(manifest.checksums[i], original) << path;
    }
    FreeManifest(&manifest);
    EXPECT_EQ(text.find('/'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

} // namespace

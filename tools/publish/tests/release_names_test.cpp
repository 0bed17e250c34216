#include "manifest_text.h"
#include "release_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

NameParts Parts(std::initializer_list<std::string> parts) { return NameParts(parts); }

TEST(JudgeReleaseName, RefusesNamesThePatcherCannotInstall)
{
    const std::string long_part(200, 'd');
    const struct {
        NameParts parts;
        const char *rule; // a piece of the refusal; null: accepted
    } cases[] = {
        {Parts({"data", "file.pak"}), nullptr},
        {Parts({"a b", "c d.txt"}), nullptr},
        {Parts({"..a", "a..b", ".x"}), nullptr},
        {Parts({"100%", "a#b c;d[1].txt"}), nullptr},
        {Parts({"v1.2", "x.old.bak"}), nullptr},
        {Parts({"backup.old", "x.txt"}), nullptr},
        {Parts({"concert.txt"}), nullptr},
        {Parts({"sub", "manifest.txt"}), nullptr},
        {Parts({"..\\x"}), "\"..\" component"},
        {Parts({"a\\..", "x"}), "\"..\" component"},
        {Parts({"a:b"}), "contains ':'"},
        {Parts({" a"}), "begins with a blank"},
        {Parts({"\ta"}), "begins with a blank"},
        {Parts({"dir", "a "}), "ends with a blank"},
        {Parts({"a\rb"}), "control byte 0x0D"},
        {Parts({"a\nb"}), "control byte 0x0A"},
        {Parts({"dir\x01", "b"}), "control byte 0x01"},
        {Parts({"a\x7F"}), "control byte 0x7F"},
        {Parts({"Save.OLD"}), "ends in \".old\""},
        {Parts({"dir", ".old"}), "ends in \".old\""},
        {Parts({"a\\b"}), "folder separator"},
        {Parts({"what?"}), "'?'"},
        {Parts({"a", "b*c"}), "'*'"},
        {Parts({"con"}), "opens as a device"},
        {Parts({"nul.txt"}), "opens as a device"},
        {Parts({"dir", "lpt9.log"}), "opens as a device"},
        // Windows drops a trailing '.' or ' ': the patcher refuses such names.
        {Parts({"readme."}), "ending in '.' or ' '"},
        {Parts({"data.", "x.bin"}), "ending in '.' or ' '"},
        {Parts({"dir ", "x.bin"}), "ending in '.' or ' '"},
        {Parts({"..."}), "ending in '.' or ' '"},
        {Parts({"Game.old."}), "ending in '.' or ' '"},
        {Parts({"manifest.txt."}), "ending in '.' or ' '"},
        {Parts({"donn\xC3\xA9" "es", "carte \xC3\xA9t\xC3\xA9.map"}), "outside ASCII"},
        {Parts({"MANIFEST.TXT"}), "place of the manifest"},
        {Parts({"PatchTmp", "x.bin"}), "where the patcher keeps its downloads"},
        {Parts({"patchtmp"}), "where the patcher keeps its downloads"},
        {Parts({"data", "patchtmp"}), nullptr},
        {Parts({"PATCHCHK", "record.bin"}), "record of its quick check"},
        // 8 characters of "/latest/" + 511 is the longest server path, 519.
        {Parts({long_part, long_part, std::string(109, 'f')}), nullptr},
        {Parts({long_part, long_part, std::string(110, 'f')}), "has 520 characters"},
        // A blank travels as %20: 510 bytes of name make 520 characters.
        {Parts({long_part, long_part, std::string(54, 'f') + " " + std::string(53, 'f')}),
         "has 520 characters"},
    };
    for (const auto &c : cases) {
        NameVerdict verdict = JudgeReleaseName(c.parts);
        std::string shown = ShownPathOf(c.parts);
        if (!c.rule) {
            EXPECT_EQ(verdict.refusal, "") << shown;
        } else {
            EXPECT_NE(verdict.refusal.find(c.rule), std::string::npos)
                << shown << " gave: " << verdict.refusal;
        }
    }
}

TEST(JudgeReleaseName, WarnsOfPathsTooLongForLongInstallationFolders)
{
    // 249 characters of folder, a separator and 269 make 519: still installable.
    NameVerdict fits = JudgeReleaseName(Parts({std::string(100, 'a'), std::string(168, 'b')}));
    NameVerdict too_long = JudgeReleaseName(Parts({std::string(100, 'a'), std::string(169, 'b')}));
    EXPECT_EQ(fits.refusal, "");
    EXPECT_TRUE(fits.warnings.empty());
    EXPECT_EQ(too_long.refusal, "");
    ASSERT_EQ(too_long.warnings.size(), 1u);
    EXPECT_NE(too_long.warnings[0].find("270 characters"), std::string::npos) << too_long.warnings[0];
}

TEST(FindWindowsNameClashes, FindsNamesThatWindowsTakesForOne)
{
    const struct {
        const char *label;
        std::vector<NameParts> files;
        size_t clashes;
    } cases[] = {
        {"distinct", {Parts({"a.txt"}), Parts({"b.txt"}), Parts({"d", "a.txt"})}, 0},
        {"case in other folders", {Parts({"Models", "STONE.DDS"}), Parts({"Textures", "Stone.dds"})}, 0},
        {"case in one folder", {Parts({"README.TXT"}), Parts({"Readme.txt"})}, 1},
        {"folders that differ in case", {Parts({"Data", "a"}), Parts({"data", "b"})}, 1},
        {"trailing dot", {Parts({"notes"}), Parts({"notes."})}, 1},
        {"file and folder", {Parts({"DATA"}), Parts({"data", "x"})}, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(FindWindowsNameClashes(c.files).size(), c.clashes) << c.label;
}

TEST(ReadManifest, ReadsLinesAsThePatcherDoes)
{
    const struct {
        std::string text;
        std::vector<ManifestLine> entries;
    } cases[] = {
        {"3421780262 data\\maps\\one.map\n", {{3421780262u, "data\\maps\\one.map"}}},
        {"  42   a b c  \t\r\n7 x", {{42, "a b c"}, {7, "x"}}},
        {"1 a\r\r\n\n2 b", {{1, "a"}, {2, "b"}}},
        {"12345\n12345 \t\nabc 1", {{0, "abc 1"}}},
        {"99999999999 x", {{1215752191u, "x"}}},
        {std::string("1 a\0" "2 b", 7), {{1, "a"}}},
    };
    for (const auto &c : cases) {
        std::vector<ManifestLine> got = ReadManifest(c.text);
        ASSERT_EQ(got.size(), c.entries.size()) << c.text;
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].crc, c.entries[i].crc) << c.text;
            EXPECT_EQ(got[i].path, c.entries[i].path) << c.text;
        }
    }
}

} // namespace

// The shipped patch.exe read as a file, for each word size: what Windows
// sees before running a line of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

std::string g_path; // the patch.exe under test
int g_bits = 0;     // its word size, 32 or 64

// Little-endian fields of a PE image held in memory; an offset out of range
// reads as 0, so a damaged file fails the checks instead of the program.
struct PeFile {
    std::string bytes;
    size_t nt = 0, optional = 0, sections = 0;
    unsigned section_count = 0;

    uint32_t U(size_t at, int size) const
    {
        uint32_t value = 0;
        for (int i = size - 1; i >= 0; i--)
            value = (value << 8) | (at + i < bytes.size() ? (uint8_t)bytes[at + i] : 0);
        return value;
    }
    uint32_t U16(size_t at) const { return U(at, 2); }
    uint32_t U32(size_t at) const { return U(at, 4); }

    bool Load(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (bytes.size() < 0x40 || U16(0) != 0x5A4D)
            return false;
        nt = U32(0x3C);
        optional = nt + 24;
        section_count = U16(nt + 6);
        sections = optional + U16(nt + 20);
        return U32(nt) == 0x4550;
    }
    bool Is64() const { return U16(optional) == 0x20B; }
    // Data directory n: (address, size).
    std::pair<uint32_t, uint32_t> Directory(int n) const
    {
        size_t at = optional + (Is64() ? 112 : 96) + 8 * n;
        return {U32(at), U32(at + 4)};
    }
    size_t Offset(uint32_t rva) const
    {
        for (unsigned i = 0; i < section_count; i++) {
            size_t s = sections + 40 * i;
            uint32_t address = U32(s + 12), size = std::max(U32(s + 8), U32(s + 16));
            if (rva >= address && rva < address + size)
                return rva - address + U32(s + 20);
        }
        return bytes.size();
    }
    std::string CString(size_t at) const
    {
        return at < bytes.size() ? std::string(bytes.c_str() + at) : std::string();
    }
    uint64_t ImageBase() const
    {
        return Is64() ? ((uint64_t)U32(optional + 28) << 32) | U32(optional + 24)
                      : U32(optional + 28);
    }
    uint32_t SlotSize() const { return Is64() ? 8 : 4; }
    // The pointer-sized value stored at rva in the file.
    uint64_t Slot(uint32_t rva) const
    {
        size_t at = Offset(rva);
        return Is64() ? ((uint64_t)U32(at + 4) << 32) | U32(at) : U32(at);
    }
    size_t Section(uint32_t rva) const
    {
        for (unsigned i = 0; i < section_count; i++) {
            size_t s = sections + 40 * i;
            if (rva >= U32(s + 12) && rva < U32(s + 12) + std::max(U32(s + 8), U32(s + 16)))
                return s;
        }
        return 0;
    }
    bool InSection(uint32_t rva, const char *name) const
    {
        size_t s = Section(rva);
        return s && bytes.compare(s, 8, std::string(name).append(8 - strlen(name), '\0')) == 0;
    }
    bool Executable(uint32_t rva) const
    {
        size_t s = Section(rva);
        return s && (U32(s + 36) & 0x20000000u); // IMAGE_SCN_MEM_EXECUTE
    }
    // The rvas that the base relocations patch: on 32-bit, exactly the
    // absolute addresses that instructions and data hold.
    std::set<uint32_t> Relocated() const
    {
        std::set<uint32_t> at;
        auto dir = Directory(5);
        size_t block = Offset(dir.first), end = block + dir.second;
        while (block + 8 <= end && block + 8 <= bytes.size() && U32(block + 4) >= 8) {
            uint32_t page = U32(block), size = U32(block + 4);
            for (size_t e = block + 8; e + 2 <= block + size; e += 2)
                if (U16(e) >> 12)
                    at.insert(page + (U16(e) & 0xFFF));
            block += size;
        }
        return at;
    }
    // (rva of the instruction, rva of the slot) for each call or jump through
    // memory in executable sections (FF 15 / FF 25): on 32-bit the slot's
    // absolute address must carry a relocation, so that stray bytes do not
    // count; on 64-bit it is relative to the next instruction.
    std::vector<std::pair<uint32_t, uint32_t>> IndirectCalls() const
    {
        std::vector<std::pair<uint32_t, uint32_t>> calls;
        std::set<uint32_t> relocated = Relocated();
        for (unsigned i = 0; i < section_count; i++) {
            size_t s = sections + 40 * i;
            if (!(U32(s + 36) & 0x20000000u))
                continue;
            uint32_t base = U32(s + 12), raw = U32(s + 20), size = std::min(U32(s + 8), U32(s + 16));
            for (uint32_t at = 0; at + 6 <= size; at++) {
                uint8_t op = (uint8_t)bytes[raw + at], mod = (uint8_t)bytes[raw + at + 1];
                if (op != 0xFF || (mod != 0x15 && mod != 0x25))
                    continue;
                uint32_t operand = U32(raw + at + 2);
                if (Is64())
                    calls.push_back({base + at, base + at + 6 + operand});
                else if (relocated.count(base + at + 2))
                    calls.push_back({base + at, (uint32_t)(operand - ImageBase())});
            }
        }
        return calls;
    }
    // Whether the code at thunk hands slot to the loader: "mov eax, slot"
    // on 32-bit, "lea rax, [rip + slot]" on 64-bit, then a jump.
    bool ThunkLoads(uint32_t thunk, uint32_t slot) const
    {
        size_t at = Offset(thunk);
        if (Is64())
            return U(at, 3) == 0x058D48 && thunk + 7 + U32(at + 3) == slot;
        return U(at, 1) == 0xB8 && U32(at + 1) - ImageBase() == slot;
    }

    // The data of resource type/id in its first language, or "" when absent.
    std::string Resource(uint32_t type, uint32_t id) const
    {
        size_t root = Offset(Directory(2).first);
        size_t level = root;
        for (uint32_t want : {type, id, 0u}) {
            size_t entries = level + 16;
            unsigned count = U16(level + 12) + U16(level + 14);
            size_t found = 0;
            for (unsigned i = 0; i < count && !found; i++) {
                size_t entry = entries + 8 * i;
                if (want == 0 || U32(entry) == want)
                    found = entry;
            }
            if (!found)
                return "";
            uint32_t next = U32(found + 4);
            if (want != 0) {
                if (!(next & 0x80000000u))
                    return "";
                level = root + (next & 0x7FFFFFFFu);
            } else {
                size_t data = root + next;
                size_t at = Offset(U32(data));
                return at < bytes.size() ? bytes.substr(at, U32(data + 4)) : "";
            }
        }
        return "";
    }
};

std::string Utf16(const std::string &text)
{
    std::string wide;
    for (char c : text) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

// Where the value of a version resource's key starts: after the key in
// UTF-16 and its NUL, at the next 32-bit boundary.
size_t ValueOffset(const std::string &block, const std::string &key)
{
    size_t at = block.find(Utf16(key) + std::string(2, '\0'));
    if (at == std::string::npos)
        return block.size();
    return (at + 2 * key.size() + 2 + 3) & ~(size_t)3;
}

std::string VersionString(const std::string &block, const std::string &key)
{
    size_t at = ValueOffset(block, key);
    if (at >= block.size())
        return "<missing>";
    std::string value;
    for (; at + 1 < block.size() && (block[at] || block[at + 1]); at += 2)
        value += block[at];
    return value;
}

class PatchExe : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pe.Load(g_path)) << g_path << " is no PE file"; }
    PeFile pe;
};

TEST_F(PatchExe, AGuiProgramOfItsWordSize)
{
    EXPECT_EQ(pe.U16(pe.nt + 4), g_bits == 64 ? 0x8664u : 0x14Cu);
    EXPECT_EQ(pe.Is64(), g_bits == 64);
    EXPECT_EQ(pe.U16(pe.optional + 68), 2u) << "subsystem: Windows GUI";
}

// Only DLLs that the system takes from its own folder are bound at start;
// the others are loaded later from the system folder.
TEST_F(PatchExe, StaticImportsNameKnownDllsOnly)
{
    const std::set<std::string> known = {"kernel32.dll", "user32.dll", "shell32.dll",
                                         "msvcrt.dll",   "gdi32.dll",  "advapi32.dll",
                                         "ole32.dll",    "oleaut32.dll", "ntdll.dll",
                                         "shlwapi.dll"};
    std::set<std::string> names;
    size_t entry = pe.Offset(pe.Directory(1).first);
    for (; entry + 20 <= pe.bytes.size() && pe.U32(entry + 12) != 0; entry += 20) {
        std::string name = pe.CString(pe.Offset(pe.U32(entry + 12)));
        for (char &c : name)
            c = (char)tolower((unsigned char)c);
        names.insert(name);
    }
    EXPECT_TRUE(names.count("kernel32.dll")) << "no import table read";
    for (const std::string &name : names)
        EXPECT_TRUE(known.count(name)) << name << " is bound at start";
}

// Every slot that code calls or jumps through is bound: either the loader
// fills it (an ordinary import), or it holds, in the file, the address of
// the thunk that loads its DLL on first use. A delay-loaded slot left at 0
// makes the first call jump to address 0.
TEST_F(PatchExe, EveryCalledImportSlotIsBound)
{
    std::set<uint32_t> loader_filled;
    size_t entry = pe.Offset(pe.Directory(1).first);
    for (; entry + 20 <= pe.bytes.size() && pe.U32(entry + 12) != 0; entry += 20)
        for (uint32_t slot = pe.U32(entry + 16); pe.Slot(slot) != 0; slot += pe.SlotSize())
            loader_filled.insert(slot);
    ASSERT_FALSE(loader_filled.empty()) << "no import table read";

    std::set<uint32_t> delayed;
    for (const auto &call : pe.IndirectCalls()) {
        uint32_t slot = call.second;
        if (loader_filled.count(slot) || !pe.InSection(slot, ".idata"))
            continue;
        delayed.insert(slot);
        uint32_t thunk = (uint32_t)(pe.Slot(slot) - pe.ImageBase());
        EXPECT_TRUE(pe.Executable(thunk) && pe.ThunkLoads(thunk, slot))
            << "slot 0x" << std::hex << slot << ", called at 0x" << call.first
            << ", holds 0x" << pe.Slot(slot) << ": no loading thunk";
    }
    EXPECT_GE(delayed.size(), 10u) << "the delay-loaded WinINet and common-controls calls";
}

TEST_F(PatchExe, IconGroupOfFourImages)
{
    std::string group = pe.Resource(14, 101); // RT_GROUP_ICON, IDI_APP
    ASSERT_GE(group.size(), 6u) << "no icon group 101";
    PeFile g;
    g.bytes = group;
    ASSERT_EQ(g.U16(2), 1u) << "not an icon group";
    ASSERT_EQ(g.U16(4), 4u) << "images";
    std::set<unsigned> sizes;
    for (unsigned i = 0; i < 4; i++) {
        size_t entry = 6 + 14 * i;
        unsigned width = g.U(entry, 1), height = g.U(entry + 1, 1);
        EXPECT_EQ(width, height);
        EXPECT_TRUE(g.U(entry + 2, 1) == 16 || g.U16(entry + 6) == 4) << width << ": 16 colours";
        sizes.insert(width);
        std::string image = pe.Resource(3, g.U16(entry + 12)); // RT_ICON
        EXPECT_EQ(image.size(), g.U32(entry + 8)) << width << " px image";
    }
    EXPECT_EQ(sizes, std::set<unsigned>({16, 24, 32, 48}));
}

TEST_F(PatchExe, VersionInformation)
{
    std::string block = pe.Resource(16, 1); // RT_VERSION
    ASSERT_FALSE(block.empty()) << "no version information";
    const char *const strings[][2] = {
        {"FileVersion", "1.0.0"},          {"ProductVersion", "1.0.0"},
        {"InternalName", "patch"},         {"OriginalFilename", "patch.exe"},
        {"ProductName", "Brackenhold"},    {"FileDescription", "Brackenhold Patch Utility"},
    };
    for (const auto &s : strings)
        EXPECT_EQ(VersionString(block, s[0]), s[1]) << s[0];
    EXPECT_NE(block.find(Utf16("040904b0")), std::string::npos) << "string block";
    EXPECT_EQ(block.substr(ValueOffset(block, "Translation"), 4), "\x09\x04\xb0\x04")
        << "translation 0x0409, 1200";
    size_t fixed = block.find("\xbd\x04\xef\xfe");
    ASSERT_NE(fixed, std::string::npos) << "no fixed file information";
    PeFile f;
    f.bytes = block.substr(fixed);
    EXPECT_EQ(f.U32(8), 0x10000u) << "file version 1.0";
    EXPECT_EQ(f.U32(12), 0u) << "file version .0.0";
    EXPECT_EQ(f.U32(16), 0x10000u) << "product version 1.0";
    EXPECT_EQ(f.U32(20), 0u) << "product version .0.0";
    EXPECT_EQ(f.U32(32), 0x40004u) << "VOS_NT_WINDOWS32";
    EXPECT_EQ(f.U32(36), 1u) << "VFT_APP";
}

// The manifest asks for elevation and for nothing else.
TEST_F(PatchExe, ManifestRequiresAdministratorOnly)
{
    std::string manifest = pe.Resource(24, 1); // RT_MANIFEST, the process's
    ASSERT_FALSE(manifest.empty()) << "no manifest";
    std::vector<std::string> elements;
    for (size_t at = manifest.find('<'); at != std::string::npos; at = manifest.find('<', at + 1)) {
        if (manifest[at + 1] == '?' || manifest[at + 1] == '/' || manifest[at + 1] == '!')
            continue;
        size_t end = manifest.find_first_of(" \t\r\n/>", at + 1);
        elements.push_back(manifest.substr(at + 1, end - at - 1));
    }
    EXPECT_EQ(elements, std::vector<std::string>({"assembly", "trustInfo", "security",
                                                  "requestedPrivileges",
                                                  "requestedExecutionLevel"}));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: patch_exe_test <patch.exe> <32|64>\n");
        return 2;
    }
    g_path = argv[1];
    g_bits = atoi(argv[2]);
    return RUN_ALL_TESTS();
}

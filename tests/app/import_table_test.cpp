// patch.exe runs elevated from a folder that users may write to: its static
// import table may name only DLLs that the system always takes from its own
// folder (the known DLLs); everything else must be delay-loaded.
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

const char kPatchExe[] = PATCH_EXE; // Unix path, set by the build

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return (char)tolower(c); });
    return s;
}

// The known DLLs of every Windows version the patcher runs on.
const std::set<std::string> kKnownDlls = {
    "advapi32.dll", "comdlg32.dll", "gdi32.dll",  "kernel32.dll", "msvcrt.dll",
    "ole32.dll",    "oleaut32.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
    "ws2_32.dll",   "ntdll.dll",    "rpcrt4.dll", "imm32.dll",
};

// The image of an executable, read from its file.
struct Image {
    std::string bytes;
    const IMAGE_NT_HEADERS *nt = nullptr;

    bool Load(const std::string &path)
    {
        if (!ReadWholeFile(path, &bytes) || bytes.size() < sizeof(IMAGE_DOS_HEADER))
            return false;
        const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)bytes.data();
        if (dos->e_magic != IMAGE_DOS_SIGNATURE)
            return false;
        nt = (const IMAGE_NT_HEADERS *)(bytes.data() + dos->e_lfanew);
        return nt->Signature == IMAGE_NT_SIGNATURE;
    }

    // File offset of a virtual address, or 0 when no section holds it.
    size_t Offset(DWORD rva) const
    {
        const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++, section++) {
            DWORD size = std::max(section->SizeOfRawData, section->Misc.VirtualSize);
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + size)
                return rva - section->VirtualAddress + section->PointerToRawData;
        }
        return 0;
    }

    // The DLL names of the static import table. (GNU ld leaves the delay
    // import directory empty: the delay-load helper needs no entry there.)
    std::vector<std::string> StaticImports() const
    {
        std::vector<std::string> names;
        DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
        if (rva == 0)
            return names;
        const IMAGE_IMPORT_DESCRIPTOR *entry =
            (const IMAGE_IMPORT_DESCRIPTOR *)(bytes.data() + Offset(rva));
        for (; entry->Name != 0; entry++)
            names.push_back(Lower(bytes.data() + Offset(entry->Name)));
        return names;
    }
};

TEST(PatchImports, StaticImportsAreKnownDllsOnly)
{
    Image image;
    ASSERT_TRUE(image.Load(WindowsPathOfUnix(kPatchExe)));
    std::vector<std::string> imports = image.StaticImports();
    EXPECT_FALSE(imports.empty());
    for (const std::string &dll : imports)
        EXPECT_TRUE(kKnownDlls.count(dll)) << dll << " is imported at start-up from any folder";
}

} // namespace

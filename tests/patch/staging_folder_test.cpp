#include "patch/staging_folder.h"

#include "patch/held_files.h"
#include "patch/path_rules.h"
#include "support/file_tree.h"
#include "support/iat_patch.h"
#include "support/nt_file_hook.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <windows.h>
#include <winternl.h>

#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

// The security descriptors the module gives what it makes, by name: Wine
// keeps only what a Unix mode can say, so they are judged as given.
struct Given {
    std::string name;
    SECURITY_DESCRIPTOR_CONTROL control;
    std::string sddl;
};
std::vector<Given> g_given;
decltype(&NtCreateFile) g_real_create = NULL;

NTSTATUS NTAPI RecordingCreate(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                               PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG file_attributes,
                               ULONG share, ULONG disposition, ULONG options, PVOID ea,
                               ULONG ea_length)
{
    PSECURITY_DESCRIPTOR security = attributes ? attributes->SecurityDescriptor : NULL;
    char *text = NULL;
    if (security && ConvertSecurityDescriptorToStringSecurityDescriptorA(
                        security, SDDL_REVISION_1,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, NULL)) {
        Given given;
        given.name = NarrowName(std::wstring(attributes->ObjectName->Buffer,
                                             attributes->ObjectName->Length / sizeof(WCHAR)));
        DWORD revision = 0;
        GetSecurityDescriptorControl(security, &given.control, &revision);
        given.sddl = text;
        g_given.push_back(given);
        LocalFree(text);
    }
    return g_real_create(handle, access, attributes, io, size, file_attributes, share, disposition,
                         options, ea, ea_length);
}

// The installation folder held, as a run holds it.
struct HeldInstall {
    explicit HeldInstall(const std::string &path) : handle(HoldInstallationFolder(path.c_str())) {}
    ~HeldInstall()
    {
        CloseStagingFolder();
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    HANDLE handle;
};

// The rights through which a program could change what the folder holds,
// what it is, or who may do so.
const DWORD kChangingRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                              FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | DELETE | WRITE_DAC |
                              WRITE_OWNER;

// What Windows' own access check grants token on a folder with the owner
// and access list given as SDDL.
DWORD Granted(HANDLE token, const std::string &sddl)
{
    PSECURITY_DESCRIPTOR given = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &given,
                                                              NULL))
        return ~0u;
    // The check wants a group as well; which one does not matter here.
    PSID owner = NULL;
    PACL dacl = NULL;
    BOOL present = FALSE, defaulted = FALSE;
    SECURITY_DESCRIPTOR full;
    InitializeSecurityDescriptor(&full, SECURITY_DESCRIPTOR_REVISION);
    GetSecurityDescriptorOwner(given, &owner, &defaulted);
    GetSecurityDescriptorDacl(given, &present, &dacl, &defaulted);
    SetSecurityDescriptorOwner(&full, owner, FALSE);
    SetSecurityDescriptorGroup(&full, owner, FALSE);
    SetSecurityDescriptorDacl(&full, present, dacl, FALSE);
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges;
    DWORD privileges_size = sizeof(privileges), granted = 0;
    BOOL status = FALSE;
    if (!owner || !AccessCheck(&full, token, MAXIMUM_ALLOWED, &mapping, &privileges,
                               &privileges_size, &granted, &status))
        granted = ~0u;
    LocalFree(given);
    return granted;
}

// The player's token as an elevated program has it, and as every program
// the player starts without elevation has it: the same account, with the
// administrators' group for denying only.
struct Tokens {
    Tokens()
    {
        HANDLE own = NULL, limited = NULL;
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID admins = NULL;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own) ||
            !AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                      DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins))
            return;
        SID_AND_ATTRIBUTES deny_only = {admins, 0};
        if (CreateRestrictedToken(own, 0, 1, &deny_only, 0, NULL, 0, NULL, &limited)) {
            DuplicateToken(limited, SecurityImpersonation, &unelevated);
            CloseHandle(limited);
        }
        DuplicateToken(own, SecurityImpersonation, &elevated);
        FreeSid(admins);
        CloseHandle(own);
    }
    ~Tokens()
    {
        if (elevated)
            CloseHandle(elevated);
        if (unelevated)
            CloseHandle(unelevated);
    }
    HANDLE elevated = NULL, unelevated = NULL;
};

TEST(StagingFolder, MadeWithAProtectedListForAdministratorsAndTheSystemOnly)
{
    TempFolder install;
    const std::string staging = install.Join(kStagingFolderName);
    Tokens tokens;
    ASSERT_TRUE(tokens.elevated && tokens.unelevated);
    HeldInstall held(install.path);
    g_given.clear();
    {
        ImportHook create("ntdll.dll", "NtCreateFile", (void *)RecordingCreate, &g_real_create);
        ASSERT_TRUE(create.real);
        ASSERT_EQ(OpenStagingFolder(held.handle), 1);
    }
    ASSERT_EQ(g_given.size(), 1u) << "given once, when the folder is made";
    const Given &given = g_given[0];
    EXPECT_EQ(given.name, kStagingFolderName);
    // Protected: on Windows an unprotected list takes in the game folder's
    // inheritable grants (often Users: Modify).
    EXPECT_TRUE(given.control & SE_DACL_PROTECTED) << given.sddl;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        given.sddl.c_str(), SDDL_REVISION_1, &descriptor, NULL));
    PACL dacl = NULL;
    BOOL present = FALSE, defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && dacl);
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER *ace = NULL;
        ASSERT_TRUE(GetAce(dacl, i, (void **)&ace));
        // Handed to every file made in it, and taken from nowhere.
        EXPECT_EQ(ace->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE |
                                   INHERITED_ACE),
                  OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)
            << given.sddl;
    }
    LocalFree(descriptor);
    EXPECT_EQ(Granted(tokens.unelevated, given.sddl), 0u) << "a user may open it";
    EXPECT_EQ(Granted(tokens.elevated, given.sddl) & FILE_ALL_ACCESS, (DWORD)FILE_ALL_ACCESS)
        << given.sddl;

    // Held: nobody can rename it, delete it or put a link in its place.
    EXPECT_FALSE(MoveFileA(staging.c_str(), (staging + "2").c_str()));
    CloseStagingFolder();
    EXPECT_FALSE(FolderExists(staging)) << "an empty staging folder stays";
}

// A folder at the name is never taken over: only what a cut-off run left (its
// downloads and nothing else) goes, and the folder is made anew.
TEST(StagingFolder, MadeAnewAndNeverTakenOver)
{
    enum Found { kNothing, kRunCutOff, kOtherFiles, kFile, kLink, kLinkInside, kLinkAtMaking };
    const struct {
        const char *name;
        Found found;
        int ready;
    } cases[] = {
        {"nothing", kNothing, 1},
        {"the folder of a run cut off", kRunCutOff, 1},
        {"a folder holding other files", kOtherFiles, 0},
        {"a file", kFile, 0},
        {"a link to a folder elsewhere", kLink, 0},
        {"a folder holding a link named like a download", kLinkInside, 0},
        {"a link put at the name as the folder is made", kLinkAtMaking, 0},
    };
    for (const auto &c : cases) {
        TempFolder install;
        const std::string staging = install.Join(kStagingFolderName);
        const std::string elsewhere = install.Join("elsewhere");
        ASSERT_TRUE(CreateDirectoryA(elsewhere.c_str(), NULL));
        ASSERT_TRUE(WriteWholeFile(elsewhere + "\\BHP1000.tmp", "not a leftover"));
        std::vector<std::unique_ptr<UnixSymlink>> links;
        if (c.found == kRunCutOff || c.found == kOtherFiles || c.found == kLinkInside) {
            ASSERT_TRUE(CreateDirectoryA(staging.c_str(), NULL));
            ASSERT_TRUE(WriteWholeFile(staging + "\\BHP2A00.tmp", "left by a run cut off"));
        }
        if (c.found == kOtherFiles) {
            ASSERT_TRUE(WriteWholeFile(staging + "\\keep.txt", "an administrator's"));
        }
        if (c.found == kFile) {
            ASSERT_TRUE(WriteWholeFile(staging, "a file"));
        }
        if (c.found == kLink || c.found == kLinkInside) {
            links.emplace_back(new UnixSymlink(
                c.found == kLink ? staging : staging + "\\BHP3000.tmp", elsewhere));
            ASSERT_TRUE(links.back()->made);
        }
        TreeSnapshot elsewhere_before = SnapshotTree(elsewhere);
        TreeSnapshot staging_before = SnapshotTree(staging);

        HeldInstall held(install.path);
        int ready = 0;
        {
            NtFileHook hook([&](NtFileCall call, const std::wstring &name) -> NTSTATUS {
                if (c.found == kLinkAtMaking && call == kNtOpen && links.empty() &&
                    NarrowName(name) == kStagingFolderName)
                    links.emplace_back(new UnixSymlink(staging, elsewhere));
                return 0;
            });
            ASSERT_TRUE(hook.hooked);
            ready = OpenStagingFolder(held.handle);
        }
        EXPECT_EQ(ready, c.ready) << c.name;
        HANDLE file = NULL;
        EXPECT_EQ(MakeStagedFile(&file), c.ready) << c.name;
        if (c.ready) {
            TreeSnapshot fresh = SnapshotTree(staging);
            EXPECT_EQ(fresh.size(), 1u) << c.name << ": not made anew";
            DropStagedFile(file);
        }
        CloseStagingFolder();
        EXPECT_EQ(SnapshotTree(elsewhere), elsewhere_before) << c.name;
        if (!c.ready && c.found != kLinkAtMaking) {
            EXPECT_EQ(SnapshotTree(staging), staging_before) << c.name << ": changed when refused";
        }
        if (c.found == kFile) {
            std::string bytes;
            EXPECT_TRUE(ReadWholeFile(staging, &bytes) && bytes == "a file") << c.name;
        }
    }
}

struct Maker {
    HANDLE thread;
    std::vector<HANDLE> files;
    int failures;
};

DWORD WINAPI MakeFiles(LPVOID context)
{
    Maker *maker = (Maker *)context;
    for (int i = 0; i < 25; i++) {
        HANDLE file = NULL;
        if (MakeStagedFile(&file))
            maker->files.push_back(file);
        else
            maker->failures++;
    }
    return 0;
}

TEST(MakeStagedFile, MakesEmptyBhpFilesThatOnlyTheirHandleReaches)
{
    TempFolder install;
    const std::string staging = install.Join(kStagingFolderName);
    HeldInstall held(install.path);
    HANDLE file = (HANDLE)1;
    EXPECT_EQ(MakeStagedFile(&file), 0) << "no folder held";
    EXPECT_EQ(file, (HANDLE)NULL);
    EXPECT_EQ(OpenStagingFolder(INVALID_HANDLE_VALUE), 0);
    ASSERT_EQ(OpenStagingFolder(held.handle), 1);
    EXPECT_EQ(MakeStagedFile(NULL), 0);

    // Several downloads may start at once.
    Maker makers[4] = {};
    for (Maker &maker : makers)
        maker.thread = CreateThread(NULL, 0, MakeFiles, &maker, 0, NULL);
    std::vector<HANDLE> made;
    for (Maker &maker : makers) {
        ASSERT_TRUE(maker.thread);
        WaitForSingleObject(maker.thread, INFINITE);
        CloseHandle(maker.thread);
        EXPECT_EQ(maker.failures, 0);
        made.insert(made.end(), maker.files.begin(), maker.files.end());
    }
    TreeSnapshot listed = SnapshotTree(staging);
    EXPECT_EQ(listed.size(), 100u) << "two downloads were given one name";
    const std::regex name("BHP[0-9A-F]{4}\\.tmp");
    for (const auto &entry : listed) {
        EXPECT_TRUE(std::regex_match(entry.first, name)) << entry.first;
        // Shared with nobody: no other handle reaches what is checked.
        EXPECT_EQ(entry.second, "<unreadable>") << entry.first;
    }
    for (HANDLE each : made) {
        LARGE_INTEGER size;
        EXPECT_TRUE(GetFileSizeEx(each, &size) && size.QuadPart == 0);
    }
    for (size_t i = 0; i < made.size(); i++) {
        if (i % 2)
            DropStagedFile(made[i]);
        else
            CloseHandle(made[i]); // as a run cut off leaves them
    }
    EXPECT_EQ(SnapshotTree(staging).size(), 50u) << "dropped files stay";
    CloseStagingFolder();
    EXPECT_TRUE(FolderExists(staging)) << "removed with files in it";
    EXPECT_EQ(MakeStagedFile(&file), 0) << "the folder let go";

    // The next run removes what this one left.
    ASSERT_EQ(OpenStagingFolder(held.handle), 1);
    EXPECT_EQ(SnapshotTree(staging).size(), 0u);
    CloseStagingFolder();
    EXPECT_FALSE(FolderExists(staging));
}

} // namespace

#include "patch/staging_folder.h"

#include "patch/patch_worker.h"
#include "patch/path_rules.h"
#include "support/file_tree.h"
#include "support/iat_patch.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

// The security descriptors the module hands to the system, as SDDL: Wine
// keeps only what a Unix mode can say, so they are judged as given.
std::vector<std::string> g_given;
decltype(&CreateDirectoryA) g_real_create_directory = NULL;
decltype(&SetKernelObjectSecurity) g_real_set_security = NULL;

void Record(PSECURITY_DESCRIPTOR security)
{
    char *text = NULL;
    if (security && ConvertSecurityDescriptorToStringSecurityDescriptorA(
                        security, SDDL_REVISION_1,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, NULL)) {
        g_given.push_back(text);
        LocalFree(text);
    }
}

BOOL WINAPI RecordingCreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    Record(attributes ? attributes->lpSecurityDescriptor : NULL);
    return g_real_create_directory(path, attributes);
}

BOOL WINAPI RecordingSetSecurity(HANDLE object, SECURITY_INFORMATION what,
                                 PSECURITY_DESCRIPTOR security)
{
    Record(security);
    return g_real_set_security(object, what, security);
}

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

TEST(StagingFolder, OnlyAdministratorsAndTheSystemMayChangeIt)
{
    TempFolder install;
    const std::string staging = install.Join(kStagingFolderName);
    Tokens tokens;
    ASSERT_TRUE(tokens.elevated && tokens.unelevated);
    g_given.clear();
    {
        ImportHook create("kernel32.dll", "CreateDirectoryA", (void *)RecordingCreateDirectory,
                          &g_real_create_directory);
        ImportHook set("advapi32.dll", "SetKernelObjectSecurity", (void *)RecordingSetSecurity,
                       &g_real_set_security);
        ASSERT_TRUE(create.real && set.real);
        ASSERT_EQ(OpenStagingFolder(install.path.c_str()), 1);
    }
    ASSERT_EQ(g_given.size(), 2u) << "made with its access list, then taken over";
    for (const std::string &given : g_given) {
        EXPECT_EQ(Granted(tokens.unelevated, given) & kChangingRights, 0u) << given;
        EXPECT_EQ(Granted(tokens.elevated, given) & FILE_ALL_ACCESS, (DWORD)FILE_ALL_ACCESS)
            << given;
    }

    // Held: nobody can rename it, delete it or put a link in its place.
    HANDLE other = CreateFileA(staging.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                               FILE_SHARE_DELETE, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                               NULL);
    DWORD error = GetLastError();
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, (DWORD)ERROR_SHARING_VIOLATION);
    if (other != INVALID_HANDLE_VALUE)
        CloseHandle(other);
    EXPECT_FALSE(MoveFileA(staging.c_str(), (staging + "2").c_str()));

    CloseStagingFolder();
    EXPECT_FALSE(FolderExists(staging)) << "an empty staging folder stays";
}

// Whether anyone but the owner may write into the folder, as Wine tells it.
bool OthersMayWrite(const std::string &folder)
{
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR security = NULL;
    if (GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL,
                              NULL, &dacl, NULL, &security) != ERROR_SUCCESS)
        return true;
    bool others = !dacl;
    PSID everyone = NULL;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    for (DWORD i = 0; dacl && i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace = NULL;
        if (GetAce(dacl, i, (void **)&ace) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid((PSID)&ace->SidStart, everyone) && (ace->Mask & FILE_ADD_FILE))
            others = true;
    }
    FreeSid(everyone);
    LocalFree(security);
    return others;
}

TEST(StagingFolder, TakesOverARealFolderAndRefusesFilesAndLinks)
{
    enum Found { kNothing, kOwnFolder, kOpenFolder, kFile, kLink, kLinkInside };
    const struct {
        const char *name;
        Found found;
        int ready;
    } cases[] = {
        {"nothing", kNothing, 1},
        {"the folder of a run cut off", kOwnFolder, 1},
        {"a folder everyone may write", kOpenFolder, 1},
        {"a file", kFile, 0},
        {"a link to a folder elsewhere", kLink, 0},
        {"a folder holding a link named like a download", kLinkInside, 0},
    };
    for (const auto &c : cases) {
        TempFolder install;
        const std::string staging = install.Join(kStagingFolderName);
        const std::string elsewhere = install.Join("elsewhere");
        ASSERT_TRUE(CreateDirectoryA(elsewhere.c_str(), NULL));
        ASSERT_TRUE(WriteWholeFile(elsewhere + "\\BHP1.tmp", "not a leftover"));
        std::unique_ptr<UnixSymlink> link;
        if (c.found == kOwnFolder || c.found == kOpenFolder || c.found == kLinkInside) {
            ASSERT_TRUE(CreateDirectoryA(staging.c_str(), NULL));
            ASSERT_TRUE(WriteWholeFile(staging + "\\BHP2a.tmp", "left by a run cut off"));
            ASSERT_TRUE(WriteWholeFile(staging + "\\keep.txt", "an administrator's"));
        }
        if (c.found == kOpenFolder) {
            ACL *open = NULL;
            EXPLICIT_ACCESSA everyone = {};
            BuildExplicitAccessWithNameA(&everyone, (char *)"EVERYONE", GENERIC_ALL, SET_ACCESS,
                                         SUB_CONTAINERS_AND_OBJECTS_INHERIT);
            ASSERT_EQ(SetEntriesInAclA(1, &everyone, NULL, &open), (DWORD)ERROR_SUCCESS);
            ASSERT_EQ(SetNamedSecurityInfoA((char *)staging.c_str(), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION, NULL, NULL, open, NULL),
                      (DWORD)ERROR_SUCCESS);
            LocalFree(open);
            ASSERT_TRUE(OthersMayWrite(staging)) << "the stand-in is not open";
        }
        if (c.found == kFile) {
            ASSERT_TRUE(WriteWholeFile(staging, "a file"));
        }
        if (c.found == kLink || c.found == kLinkInside) {
            link.reset(new UnixSymlink(c.found == kLink ? staging : staging + "\\BHP3.tmp",
                                       elsewhere));
            ASSERT_TRUE(link->made);
        }
        TreeSnapshot elsewhere_before = SnapshotTree(elsewhere);

        EXPECT_EQ(OpenStagingFolder(install.path.c_str()), c.ready) << c.name;
        char name[MAX_PATH] = "";
        EXPECT_EQ(MakeTempFileName(name, MAX_PATH), c.ready) << c.name;
        if (c.ready) {
            EXPECT_FALSE(OthersMayWrite(staging)) << c.name;
            EXPECT_FALSE(FileExists(staging + "\\BHP2a.tmp")) << c.name << ": leftover kept";
            DeleteFileA(name);
        }
        CloseStagingFolder();
        EXPECT_EQ(SnapshotTree(elsewhere), elsewhere_before) << c.name;
        if (c.found == kFile) {
            std::string bytes;
            EXPECT_TRUE(ReadWholeFile(staging, &bytes) && bytes == "a file") << c.name;
        }
        // What an administrator put there stays, and so does the folder.
        EXPECT_EQ(FileExists(staging + "\\keep.txt"),
                  c.found == kOwnFolder || c.found == kOpenFolder || c.found == kLinkInside)
            << c.name;
        DeleteFileA((staging + "\\keep.txt").c_str());
    }
}

struct Maker {
    HANDLE thread;
    std::vector<std::string> names;
    int failures;
};

DWORD WINAPI MakeNames(LPVOID context)
{
    Maker *maker = (Maker *)context;
    for (int i = 0; i < 25; i++) {
        char name[MAX_PATH];
        if (MakeTempFileName(name, MAX_PATH))
            maker->names.push_back(name);
        else
            maker->failures++;
    }
    return 0;
}

TEST(MakeTempFileName, MakesEmptyBhpFilesInTheHeldFolderOnly)
{
    TempFolder install;
    const std::string staging = install.Join(kStagingFolderName);
    char name[MAX_PATH] = "";
    EXPECT_EQ(MakeTempFileName(name, MAX_PATH), 0) << "no folder held";
    ASSERT_EQ(OpenStagingFolder(install.path.c_str()), 1);
    EXPECT_EQ(MakeTempFileName(NULL, MAX_PATH), 0);
    EXPECT_EQ(MakeTempFileName(name, 0), 0);
    const int too_short = (int)(staging + "\\BHP0.tmp").size(); // no room for the NUL
    EXPECT_EQ(MakeTempFileName(name, too_short), 0) << "a name that does not fit";
    EXPECT_EQ(SnapshotTree(staging).size(), 0u);

    // Several downloads may start at once.
    Maker makers[4] = {};
    for (Maker &maker : makers)
        maker.thread = CreateThread(NULL, 0, MakeNames, &maker, 0, NULL);
    std::set<std::string> made;
    for (Maker &maker : makers) {
        ASSERT_TRUE(maker.thread);
        WaitForSingleObject(maker.thread, INFINITE);
        CloseHandle(maker.thread);
        EXPECT_EQ(maker.failures, 0);
        made.insert(maker.names.begin(), maker.names.end());
    }
    EXPECT_EQ(made.size(), 100u) << "two downloads were given one name";
    for (const std::string &made_name : made) {
        std::string bytes = "x";
        EXPECT_EQ(made_name.find(staging + "\\BHP"), 0u) << made_name;
        EXPECT_TRUE(ReadWholeFile(made_name, &bytes) && bytes.empty()) << made_name;
    }
    CloseStagingFolder();
    EXPECT_EQ(MakeTempFileName(name, MAX_PATH), 0) << "the folder let go";

    // The next run sweeps what this one left.
    ASSERT_EQ(OpenStagingFolder(install.path.c_str()), 1);
    EXPECT_EQ(SnapshotTree(staging).size(), 0u);
    CloseStagingFolder();
    EXPECT_FALSE(FolderExists(staging));
}

} // namespace

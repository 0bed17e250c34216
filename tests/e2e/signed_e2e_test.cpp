// Signed releases end to end: the real patch.exe, built with the build
// tree's test key, through a proxy of the test's own that plays someone on
// the network path. The releases are published and signed with the Linux
// build of the release tool.
#include "e2e/patcher_driver.h"

#include "app/main_window.h"

#include "support/http_test_server.h"
#include "support/proxy_setting.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <zlib.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Lines;

const DWORD kStartTimeoutMs = 15000;
const DWORD kRunTimeoutMs = 60000;
const DWORD kQuitTimeoutMs = 5000;

// Unix paths, set by the build.
const char kSignedPatchExe[] = SIGNED_PATCH_EXE;
const char kUnsignedPatchExe[] = UNSIGNED_PATCH_EXE;
const char kReleaseTool[] = NATIVE_RELEASE_TOOL;
const char kTestKey[] = TEST_RELEASE_KEY_DIR "/private.pem";
const char kPlantedDllDir[] = PLANTED_DLL_DIR;
// Wine then prefers a bcrypt.dll found beside the program, as Windows does
// for a DLL that is not a known one.
const char kPreferFoundBcrypt[] = "WINEDLLOVERRIDES=mscoree,mshtml=;bcrypt=n,b";

const char kManifest[] = "/latest/manifest.txt";
const char kStatement[] = "/latest/signed-release.txt";

std::string Bytes(size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++)
        bytes[i] = (char)(seed + i * 7 + i / 251);
    return bytes;
}

std::string LastLine(const Lines &log) { return log.empty() ? "<no log>" : log.back(); }

uint32_t Crc(const std::string &bytes)
{
    return (uint32_t)crc32(0, (const Bytef *)bytes.data(), (uInt)bytes.size());
}

// body followed by the four bytes that give the whole the CRC-32 wanted:
// CRC-32 is affine in those 32 bits, so one solves 32 equations over GF(2).
std::string WithCrc(const std::string &body, uint32_t wanted)
{
    auto crc_with = [&](uint32_t tail) {
        std::string bytes = body;
        for (int i = 0; i < 4; i++)
            bytes += (char)(tail >> (8 * i));
        return Crc(bytes);
    };
    uint32_t base = crc_with(0);
    uint32_t column[32];
    for (int bit = 0; bit < 32; bit++)
        column[bit] = crc_with(1u << bit) ^ base;
    // Gaussian elimination: rows are the CRC's bits, unknowns the tail's bits.
    uint64_t rows[32];
    for (int r = 0; r < 32; r++) {
        rows[r] = (uint64_t)(((wanted ^ base) >> r) & 1) << 32;
        for (int bit = 0; bit < 32; bit++)
            rows[r] |= (uint64_t)((column[bit] >> r) & 1) << bit;
    }
    for (int bit = 0, r = 0; bit < 32 && r < 32; bit++) {
        int pivot = r;
        while (pivot < 32 && !((rows[pivot] >> bit) & 1))
            pivot++;
        if (pivot == 32)
            continue;
        std::swap(rows[r], rows[pivot]);
        for (int other = 0; other < 32; other++)
            if (other != r && ((rows[other] >> bit) & 1))
                rows[other] ^= rows[r];
        r++;
    }
    uint32_t tail = 0;
    for (int r = 0; r < 32; r++)
        for (int bit = 0; bit < 32; bit++)
            if (rows[r] & (1ull << bit)) {
                tail |= (uint32_t)((rows[r] >> 32) & 1) << bit;
                break;
            }
    std::string forged = body;
    for (int i = 0; i < 4; i++)
        forged += (char)(tail >> (8 * i));
    return forged;
}

struct UnixRun {
    std::vector<std::string> argv;
    int status;
};

DWORD WINAPI RunUnixInThread(LPVOID param)
{
    UnixRun *run = (UnixRun *)param;
    run->status = RunUnixProgram(run->argv);
    return 0;
}

class SignedReleaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        release = temp.Join("release");
        web = temp.Join("www");
        install = temp.Join("inst");
        for (const std::string *folder : {&release, &web, &install})
            ASSERT_TRUE(CreateDirectoryA(folder->c_str(), NULL));
        Put(release, "game.exe", game);
        Put(release, "data\\b.bin", Bytes(70000, 'b'));
        Put(install, "game.exe", old_game);
        served = web + "\\latest";
        ZeroMemory(&patcher, sizeof(patcher));
        server.reset(new HttpTestServer(
            [this](HttpTestConnection &peer, const RecordedRequest &request) {
                return Answer(peer, request);
            },
            0, 600000));
        ASSERT_TRUE(server->Listening());
        proxy.reset(new ProxySetting(server->Port()));
    }

    void TearDown() override
    {
        EndPatcher();
        proxy.reset();
        server.reset();
    }

    static void Put(const std::string &root, const std::string &path, const std::string &bytes)
    {
        std::string target = root + "\\" + path;
        for (size_t at = target.find('\\', root.size() + 1); at != std::string::npos;
             at = target.find('\\', at + 1))
            CreateDirectoryA(target.substr(0, at).c_str(), NULL);
        ASSERT_TRUE(WriteWholeFile(target, bytes)) << path;
    }

    // The attacker: forged answers where set, a status without a body where
    // set, else the file of the folder served as /latest/ (or 404).
    bool Answer(HttpTestConnection &peer, const RecordedRequest &request)
    {
        size_t at = request.target.find("/latest/");
        std::string object = at == std::string::npos ? request.target : request.target.substr(at);
        std::string body;
        bool found = false;
        if (forged.count(object)) {
            body = forged[object];
            found = true;
        } else if (!statuses.count(object) && at != std::string::npos) {
            std::string path = served + "\\" + object.substr(8);
            for (char &c : path)
                c = c == '/' ? '\\' : c;
            found = ReadWholeFile(path, &body);
        }
        std::vector<std::string> head = {"Content-Length: " + std::to_string(body.size()),
                                         "Connection: close"};
        int status = statuses.count(object) ? statuses[object] : found ? 200 : 404;
        peer.Send(ResponseHead(status, head) + body);
        return false;
    }

    // The Linux release tool publishes the release folder into web, signed
    // with each key.
    void Publish(const std::string &into, const std::string &id,
                 const std::vector<std::string> &keys, const std::string &days = "30")
    {
        std::vector<std::string> command = {kReleaseTool, "publish", "--id", id, "--valid-days", days};
        for (const std::string &key : keys)
            command.insert(command.end(), {"--key", key});
        command.insert(command.end(), {UnixPathOf(release), UnixPathOf(into)});
        ASSERT_EQ(RunUnixProgram(command), 0) << "publish " << id;
    }

    // A key pair of another studio, made once per test.
    std::string OtherKey()
    {
        std::string key = UnixPathOf(temp.Join("other.pem"));
        if (!FileExists(temp.Join("other.pem"))) {
            EXPECT_EQ(RunUnixProgram({"/usr/bin/openssl", "ecparam", "-name", "prime256v1",
                                      "-genkey", "-noout", "-out", key}),
                      0);
        }
        return key;
    }

    // One whole run of the given patch.exe in the installation: its log.
    Lines Run(const char *patch_exe = kSignedPatchExe)
    {
        EndPatcher();
        EXPECT_TRUE(CopyFileA(WindowsPathOfUnix(patch_exe).c_str(),
                              (install + "\\patch.exe").c_str(), FALSE));
        EXPECT_EQ(StartPatcherIn(install, NULL, &patcher), 0u);
        std::string failure;
        HWND window = WaitForPatcherWindowOf(patcher, kStartTimeoutMs, &failure);
        EXPECT_NE(window, (HWND)NULL) << failure;
        PatcherView view = {};
        if (window) {
            EXPECT_TRUE(WaitForRunEnd(window, kRunTimeoutMs, &view)) << JoinLines(view.log);
            PostCommand(window, IDM_QUIT);
        }
        EndPatcher();
        return view.log;
    }

    void EndPatcher()
    {
        if (!patcher.hProcess)
            return;
        if (WaitForSingleObject(patcher.hProcess, kQuitTimeoutMs) == WAIT_TIMEOUT)
            TerminateProcess(patcher.hProcess, 1);
        WaitForSingleObject(patcher.hProcess, kQuitTimeoutMs);
        CloseHandle(patcher.hProcess);
        CloseHandle(patcher.hThread);
        ZeroMemory(&patcher, sizeof(patcher));
    }

    std::string Installed(const std::string &path)
    {
        std::string bytes;
        return ReadWholeFile(install + "\\" + path, &bytes) ? bytes : "<missing>";
    }

    // The objects requested, in order, from the given one on.
    Lines Requested(size_t from = 0)
    {
        Lines objects;
        std::vector<RecordedRequest> requests = server->Requests();
        for (size_t i = from; i < requests.size(); i++) {
            size_t at = requests[i].target.find("/latest/");
            objects.push_back(at == std::string::npos ? requests[i].target
                                                      : requests[i].target.substr(at));
        }
        return objects;
    }

    // The same with a stand-in bcrypt.dll planted beside patch.exe, started
    // from Unix so that Wine would prefer it; the log, and whether it loaded.
    Lines RunWithPlantedBcrypt(bool *planted_loaded)
    {
        EXPECT_TRUE(CopyFileA(WindowsPathOfUnix(std::string(kPlantedDllDir) + "/bcrypt.dll").c_str(),
                              (install + "\\bcrypt.dll").c_str(), FALSE));
        EXPECT_TRUE(CopyFileA(WindowsPathOfUnix(kSignedPatchExe).c_str(),
                              (install + "\\patch.exe").c_str(), FALSE));
        UnixRun run = {WineCommand(UnixPathOf(install + "\\patch.exe"), {kPreferFoundBcrypt}), -1};
        HANDLE thread = CreateThread(NULL, 0, RunUnixInThread, &run, 0, NULL);
        EXPECT_NE(thread, (HANDLE)NULL);
        HWND window = NULL;
        for (DWORD start = GetTickCount();
             thread && !(window = FindPatcherWindow()) && GetTickCount() - start < kStartTimeoutMs;)
            Sleep(20);
        PatcherView view = {};
        if (window) {
            EXPECT_TRUE(WaitForRunEnd(window, kRunTimeoutMs, &view)) << JoinLines(view.log);
            PostCommand(window, IDM_QUIT);
        }
        if (thread) {
            EXPECT_EQ(WaitForSingleObject(thread, kRunTimeoutMs), WAIT_OBJECT_0);
            CloseHandle(thread);
        }
        *planted_loaded = Installed("planted-loaded.txt") != "<missing>";
        return view.log;
    }

    TempFolder temp;
    std::string release, web, install;
    std::string served; // the folder the attacker serves as /latest/
    std::map<std::string, std::string> forged;
    std::map<std::string, int> statuses; // objects answered with that status alone
    std::unique_ptr<HttpTestServer> server;
    std::unique_ptr<ProxySetting> proxy;
    PROCESS_INFORMATION patcher;
    const std::string game = Bytes(5000, 'g');
    const std::string old_game = "the game as it was before";
    // Of the game's size and CRC-32: only the SHA-256 tells it apart.
    const std::string evil = WithCrc(std::string(5000 - 4, 'e'), Crc(Bytes(5000, 'g')));
};

TEST_F(SignedReleaseTest, TheGenuineReleaseIsInstalledAndThenFoundUpToDate)
{
    // Signed with as many keys as a statement may carry (as while keys
    // change): other keys' signatures come after the test key's.
    Publish(web, "r1", {kTestKey, OtherKey(), OtherKey(), OtherKey()});
    // Someone who could write to the game folder left bytes with the listed CRC-32.
    Put(install, "game.exe", evil);
    EXPECT_EQ(Run(), Lines({"Searching for updates...", "Downloading data\\b.bin",
                            "Updating data\\b.bin", "Downloading game.exe", "Updating game.exe",
                            "Patch complete."}));
    // The files are fetched at once, in either order.
    Lines requested = Requested();
    if (requested.size() == 4)
        std::sort(requested.begin() + 2, requested.end());
    EXPECT_EQ(requested, Lines({kManifest, kStatement, "/latest/data/b.bin", "/latest/game.exe"}));
    EXPECT_TRUE(Installed("game.exe") == game);
    EXPECT_NE(Installed("patch-release.txt"), "<missing>");

    EXPECT_EQ(Run(), Lines({"Searching for updates...", "Already up to date: data\\b.bin",
                            "Already up to date: game.exe", "Patch complete."}));
}

// The attack that a CRC-32 cannot stop: other bytes with the listed CRC-32.
TEST_F(SignedReleaseTest, ForgedBytesWithTheListedCrcAreInstalledOnlyWithoutAKey)
{
    ASSERT_EQ(Crc(evil), Crc(game));
    Publish(web, "r1", {kTestKey});
    forged["/latest/game.exe"] = evil;

    Lines refused = {"Searching for updates...", "Downloading data\\b.bin", "Updating data\\b.bin"};
    for (int i = 0; i < 5; i++) {
        refused.push_back("Downloading game.exe");
        refused.push_back("Error: downloaded file is corrupt, trying again...");
    }
    refused.push_back("Error: exceeded maximum attempts, giving up.");
    refused.push_back("Patch failed.");
    EXPECT_EQ(Run(kSignedPatchExe), refused);
    EXPECT_TRUE(Installed("game.exe") == old_game);

    EXPECT_EQ(Run(kUnsignedPatchExe),
              Lines({"Searching for updates...", "Already up to date: data\\b.bin",
                     "Downloading game.exe", "Updating game.exe", "Patch complete."}));
    EXPECT_TRUE(Installed("game.exe") == evil) << "the key is what stopped it";
}

// A body of another length than the signed size, longer or shorter, is
// refused before any of it is written; without a key it is fetched whole.
TEST_F(SignedReleaseTest, AFileOfAnotherLengthIsRefusedBeforeItsBody)
{
    Publish(web, "r1", {kTestKey});
    Lines refused = {"Searching for updates...", "Downloading data\\b.bin", "Updating data\\b.bin"};
    for (int i = 0; i < 5; i++) {
        refused.push_back("Downloading game.exe");
        refused.push_back("Error: download failed with err, trying again... 800700df");
    }
    refused.push_back("Error: exceeded maximum attempts, giving up.");
    refused.push_back("Patch failed.");
    for (const std::string &body : {game + std::string(1000, 'x'), game.substr(0, 4000)}) {
        forged["/latest/game.exe"] = body;
        RemoveTree(install + "\\data");
        EXPECT_EQ(Run(kSignedPatchExe), refused) << body.size() << " bytes";
        EXPECT_TRUE(Installed("game.exe") == old_game);
    }
}

TEST_F(SignedReleaseTest, StatementsThatAreNotTheStudiosAreRefused)
{
    Publish(web, "r1", {kTestKey});
    Publish(temp.Join("www-other"), "r1", {OtherKey()});
    Publish(temp.Join("www-expired"), "r1", {kTestKey}, "0");
    std::string statement, manifest, other_statement;
    ASSERT_TRUE(ReadWholeFile(web + "\\latest\\signed-release.txt", &statement));
    ASSERT_TRUE(ReadWholeFile(web + "\\latest\\manifest.txt", &manifest));
    ASSERT_TRUE(ReadWholeFile(temp.Join("www-other\\latest\\signed-release.txt"), &other_statement));
    std::string other_signature = other_statement.substr(other_statement.rfind("signature "));
    std::string listed = std::to_string(Crc(game)) + " game.exe";
    ASSERT_NE(manifest.find(listed), std::string::npos) << manifest;
    std::string other_manifest = manifest;
    other_manifest.replace(manifest.find(listed), listed.size(), "12345 game.exe");

    struct Case {
        const char *name;
        std::function<void()> attack;
        const char *error;
    };
    const Case cases[] = {
        {"missing", [&] { statuses[kStatement] = 404; },
         "Error: the update server's release is not signed."},
        {"server fault", [&] { statuses[kStatement] = 503; },
         "Error: unable to contact the update server."},
        // Each signature line costs a verification: their number is bounded.
        {"too many signature lines",
         [&] {
             forged[kStatement] = statement;
             for (int i = 0; i < 4; i++)
                 forged[kStatement] += other_signature;
         },
         "Error: the release signature is incomplete or damaged."},
        {"cut short", [&] { forged[kStatement] = statement.substr(0, statement.size() - 20); },
         "Error: the release signature is incomplete or damaged."},
        {"another key", [&] { forged[kStatement] = other_statement; },
         "Error: the release is not signed with this patcher's key."},
        {"another manifest", [&] { forged[kManifest] = other_manifest; },
         "Error: the update manifest differs from the signed release."},
        {"expired", [&] { served = temp.Join("www-expired\\latest"); },
         "Error: the signed release has expired."},
    };
    for (const Case &c : cases) {
        forged.clear();
        statuses.clear();
        served = web + "\\latest";
        c.attack();
        size_t before = server->Requests().size();
        EXPECT_EQ(Run(), Lines({"Searching for updates...", c.error, "Unable to check for updates."}))
            << c.name;
        EXPECT_EQ(Requested(before), Lines({kManifest, kStatement})) << c.name;
        EXPECT_TRUE(Installed("game.exe") == old_game) << c.name;
        EXPECT_EQ(Installed("data\\b.bin"), "<missing>") << c.name;
    }
}

// The signed patcher loads CNG in every run, elevated, from a folder that
// users may write to: only the system's bcrypt.dll may serve.
TEST_F(SignedReleaseTest, ABcryptPlantedBesideThePatcherIsNotLoaded)
{
    Publish(web, "r1", {kTestKey});
    bool planted_loaded = true;
    EXPECT_EQ(LastLine(RunWithPlantedBcrypt(&planted_loaded)), "Patch complete.");
    EXPECT_FALSE(planted_loaded);
}

TEST_F(SignedReleaseTest, AnOlderReleaseReplayedAfterANewerOneIsRefused)
{
    Publish(web, "r1", {kTestKey});
    ASSERT_EQ(LastLine(Run()), "Patch complete.");
    Put(release, "game.exe", Bytes(6000, 'n'));
    Publish(web, "r2", {kTestKey});
    ASSERT_EQ(LastLine(Run()), "Patch complete.");

    served = web + "\\releases\\r1"; // the first release, as it was signed
    EXPECT_EQ(Run(), Lines({"Searching for updates...",
                            "Error: the update server offers an older release than the one installed.",
                            "Unable to check for updates."}));
    EXPECT_TRUE(Installed("game.exe") == Bytes(6000, 'n'));
}

} // namespace

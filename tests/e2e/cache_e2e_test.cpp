// The real patch.exe through a Varnish cache in front of an nginx origin
// (deploy/), both on loopback, reached as the configured proxy: the cache
// serves each body once for many players, and a release switch is seen by
// the very next run. The origin's access log tells what it sent.
#include "e2e/patcher_driver.h"

#include "app/main_window.h"

#include "support/proxy_setting.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

typedef std::map<std::string, long> BodyBytes; // path -> body bytes the origin sent

const DWORD kStartTimeoutMs = 15000;
const DWORD kRunTimeoutMs = 60000;

const char kSourceDir[] = PATCHER_SOURCE_DIR;
const char kPatchExe[] = PATCH_EXE;
const char kReleaseTool[] = RELEASE_TOOL;

class CacheEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        release = temp.Join("release");
        web = temp.Join("www");
        state = temp.Join("cache");
        for (const std::string *folder : {&release, &web, &state})
            ASSERT_TRUE(CreateDirectoryA(folder->c_str(), NULL));
    }

    void TearDown() override
    {
        proxy.reset();
        if (started)
            RunUnixProgram({"/bin/bash", std::string(kSourceDir) + "/scripts/cache-loopback.sh",
                            "stop", UnixPathOf(state)});
    }

    void Put(const std::string &root, const std::string &path, const std::string &bytes)
    {
        std::string target = root + "\\" + path;
        for (size_t at = target.find('\\', root.size() + 1); at != std::string::npos;
             at = target.find('\\', at + 1))
            CreateDirectoryA(target.substr(0, at).c_str(), NULL);
        ASSERT_TRUE(WriteWholeFile(target, bytes)) << path;
    }

    void Publish()
    {
        std::string command = "\"" + WindowsPathOfUnix(kReleaseTool) + "\" publish \"" + release +
                              "\" \"" + web + "\"";
        ASSERT_EQ(RunProgram(command, kRunTimeoutMs), 0u) << command;
    }

    void StartCache()
    {
        ASSERT_EQ(RunUnixProgram({"/bin/bash", std::string(kSourceDir) + "/scripts/cache-loopback.sh",
                                  "start", UnixPathOf(state), UnixPathOf(web)}),
                  0);
        started = true;
        std::string ports;
        ASSERT_TRUE(ReadWholeFile(state + "\\ports", &ports));
        proxy.reset(new ProxySetting(atoi(ports.c_str()))); // the cache's port comes first
    }

    // One whole run of patch.exe in the installation folder; its log.
    std::vector<std::string> RunPatcher(const std::string &install)
    {
        if (!FileExists(install + "\\patch.exe")) {
            CreateDirectoryA(install.c_str(), NULL);
            CopyFileA(WindowsPathOfUnix(kPatchExe).c_str(), (install + "\\patch.exe").c_str(),
                      FALSE);
        }
        PROCESS_INFORMATION patcher = {};
        PatcherView view = {};
        if (StartPatcherIn(install, NULL, &patcher) != 0) {
            ADD_FAILURE() << "cannot start patch.exe in " << install;
            return view.log;
        }
        std::string failure;
        HWND window = WaitForPatcherWindowOf(patcher, kStartTimeoutMs, &failure);
        EXPECT_TRUE(window) << failure;
        EXPECT_TRUE(window && WaitForRunEnd(window, kRunTimeoutMs, &view)) << JoinLines(view.log);
        if (window)
            PostCommand(window, IDM_QUIT);
        if (WaitForSingleObject(patcher.hProcess, kStartTimeoutMs) != WAIT_OBJECT_0)
            TerminateProcess(patcher.hProcess, 1);
        CloseHandle(patcher.hProcess);
        CloseHandle(patcher.hThread);
        return view.log;
    }

    // Body bytes per requested path in the origin's log lines not read
    // before ("<status> <bytes> "GET <path> HTTP/1.1" ..."); probes of "/"
    // by the start script are left out.
    BodyBytes OriginSentSinceLastLook()
    {
        std::string log;
        ReadWholeFile(state + "\\origin\\access.log", &log);
        std::istringstream lines(log.substr(log_read));
        log_read = log.size();
        BodyBytes sent;
        std::string line;
        while (std::getline(lines, line)) {
            int status = 0;
            long bytes = 0;
            char path[600] = {};
            if (sscanf(line.c_str(), "%d %ld \"GET %599s", &status, &bytes, path) == 3 &&
                std::string(path) != "/")
                sent[path] += bytes;
        }
        return sent;
    }

    long SizeOf(const std::string &path)
    {
        std::string bytes;
        return ReadWholeFile(web + "\\latest\\" + path, &bytes) ? (long)bytes.size() : -1;
    }

    bool InstalledIs(const std::string &install, const std::string &path, const std::string &bytes)
    {
        std::string installed;
        return ReadWholeFile(install + "\\" + path, &installed) && installed == bytes;
    }

    TempFolder temp;
    std::string release, web, state;
    std::unique_ptr<ProxySetting> proxy;
    bool started = false;
    size_t log_read = 0;
};

TEST_F(CacheEndToEndTest, ManyPlayersOneBodyEachAndASwitchSeenAtOnce)
{
    const std::string a1 = PseudoRandomBytes(300, 1), a2 = PseudoRandomBytes(300, 2);
    const std::string b = PseudoRandomBytes(70000, 3), c1 = PseudoRandomBytes(1234, 4);
    const std::string c2 = PseudoRandomBytes(4321, 5), e = PseudoRandomBytes(999, 6);
    Put(release, "a.txt", a1);
    Put(release, "data\\b.bin", b);
    Put(release, "data\\maps\\c.map", c1);
    ASSERT_NO_FATAL_FAILURE(Publish());
    ASSERT_NO_FATAL_FAILURE(StartCache());
    const std::vector<std::string> fresh = {
        "Searching for updates...", "Downloading a.txt", "Updating a.txt",
        "Downloading data\\b.bin", "Updating data\\b.bin", "Downloading data\\maps\\c.map",
        "Updating data\\maps\\c.map", "Patch complete."};

    std::string first = temp.Join("first"), second = temp.Join("second");
    EXPECT_EQ(RunPatcher(first), fresh);
    EXPECT_EQ(OriginSentSinceLastLook(),
              (BodyBytes{{"/latest/manifest.txt", SizeOf("manifest.txt")},
                         {"/latest/a.txt", 300},
                         {"/latest/data/b.bin", 70000},
                         {"/latest/data/maps/c.map", 1234}}));

    // Another player: every object is asked for again (a revalidation), no
    // body is sent again.
    EXPECT_EQ(RunPatcher(second), fresh);
    EXPECT_EQ(OriginSentSinceLastLook(),
              (BodyBytes{{"/latest/manifest.txt", 0},
                         {"/latest/a.txt", 0},
                         {"/latest/data/b.bin", 0},
                         {"/latest/data/maps/c.map", 0}}));
    EXPECT_TRUE(InstalledIs(second, "data\\b.bin", b));

    // Release 2: a.txt changed at the same size, c.map changed, e.pak new,
    // b.bin the same (linked: the same validators, so no body again).
    Put(release, "a.txt", a2);
    Put(release, "data\\maps\\c.map", c2);
    Put(release, "e.pak", e);
    ASSERT_NO_FATAL_FAILURE(Publish());
    EXPECT_EQ(RunPatcher(first),
              (std::vector<std::string>{
                  "Searching for updates...", "Downloading a.txt", "Updating a.txt",
                  "Already up to date: data\\b.bin", "Downloading data\\maps\\c.map",
                  "Updating data\\maps\\c.map", "Downloading e.pak", "Updating e.pak",
                  "Patch complete."}));
    EXPECT_EQ(OriginSentSinceLastLook(),
              (BodyBytes{{"/latest/manifest.txt", SizeOf("manifest.txt")},
                         {"/latest/a.txt", 300},
                         {"/latest/data/maps/c.map", 4321},
                         {"/latest/e.pak", 999}}));
    EXPECT_TRUE(InstalledIs(first, "a.txt", a2));
    EXPECT_TRUE(InstalledIs(first, "data\\b.bin", b));
    EXPECT_TRUE(InstalledIs(first, "data\\maps\\c.map", c2));
    EXPECT_TRUE(InstalledIs(first, "e.pak", e));
}

} // namespace

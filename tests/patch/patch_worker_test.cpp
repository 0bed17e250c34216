#include "patch/patch_worker.h"

#include "app/notifications.h"
#include "patch/install_paths.h"
#include "support/heap_probe.h"
#include "support/http_test_server.h"
#include "support/proxy_setting.h"
#include "support/iat_patch.h"
#include "support/notify_recorder.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Lines;
typedef std::vector<std::pair<UINT, WPARAM>> Numbers;

const char kServerRoot[] = "http://updates.brackenhold.example:80";
const DWORD kRunTimeoutMs = 60000;

DWORD Crc(const std::string &bytes)
{
    return (DWORD)crc32(0L, (const Bytef *)bytes.data(), (uInt)bytes.size());
}

// The percentage the downloader reports for a body of n bytes that arrives
// in one chunk: its Content-Length divided into hundredths.
WPARAM OneChunkPercent(size_t n)
{
    size_t divisor = n / 100 ? n / 100 : 1;
    return n / divisor > 100 ? 100 : n / divisor;
}

std::pair<UINT, WPARAM> Enable(WPARAM v) { return {WM_APP_ENABLE_LAUNCH, v}; }
std::pair<UINT, WPARAM> Total(WPARAM v) { return {WM_APP_TOTAL_PROGRESS, v}; }
std::pair<UINT, WPARAM> File(WPARAM v) { return {WM_APP_FILE_PROGRESS, v}; }
std::pair<UINT, WPARAM> Result() { return {WM_APP_PATCH_RESULT, 1}; }

Numbers Concat(std::initializer_list<Numbers> parts)
{
    Numbers all;
    for (const Numbers &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<std::string> ListFolder(const std::string &folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return names;
}

// What the scripted update server answers to one request.
struct HttpReply {
    int status = 200;
    std::string body;
    bool hold = false; // wait until the test releases it
};

const DWORD kMaxHoldMs = 20000;

// One whole patch run per test: an installation folder and a temporary folder
// of the test's own, the update server on loopback reached through the proxy
// setting, and a window that records what the worker posts.
class PatchRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        install = temp.Join("inst");
        tmp = temp.Join("tmp");
        ASSERT_TRUE(CreateDirectoryA(install.c_str(), NULL));
        ASSERT_TRUE(CreateDirectoryA(tmp.c_str(), NULL));
        SaveEnv("TMP", &old_tmp);
        SaveEnv("TEMP", &old_temp);
        SetEnvironmentVariableA("TMP", tmp.c_str());
        SetEnvironmentVariableA("TEMP", tmp.c_str());
        held = CreateEventA(NULL, FALSE, FALSE, NULL);
        release = CreateEventA(NULL, TRUE, FALSE, NULL);
        server.reset(new HttpTestServer(
            [this](HttpTestConnection &c, const RecordedRequest &r) { return Answer(c, r); }));
        ASSERT_TRUE(server->Listening());
        proxy.reset(new ProxySetting(server->Port()));
    }

    void TearDown() override
    {
        SetEvent(release);
        server.reset();
        proxy.reset();
        CloseHandle(held);
        CloseHandle(release);
        SetEnvironmentVariableA("TMP", old_tmp.empty() ? NULL : old_tmp.c_str());
        SetEnvironmentVariableA("TEMP", old_temp.empty() ? NULL : old_temp.c_str());
    }

    static void SaveEnv(const char *name, std::string *value)
    {
        char buffer[MAX_PATH] = {};
        GetEnvironmentVariableA(name, buffer, MAX_PATH);
        *value = buffer;
    }

    // Answers one request on its own connection, then closes it.
    bool Answer(HttpTestConnection &connection, const RecordedRequest &request)
    {
        HttpReply reply = Serve(request.target);
        if (reply.hold) {
            SetEvent(held);
            WaitForSingleObject(release, kMaxHoldMs);
        }
        connection.Send(ResponseHead(reply.status,
                                     {"Content-Length: " + std::to_string(reply.body.size()),
                                      "Connection: close"}) +
                        reply.body);
        return false;
    }

    // Objects the server knows, by path below /latest/; replies may be scripted
    // per request with `script`.
    HttpReply Serve(const std::string &target)
    {
        std::string object = target;
        if (object.compare(0, sizeof(kServerRoot) - 1, kServerRoot) == 0)
            object = object.substr(sizeof(kServerRoot) - 1);
        objects_requested.push_back(object);
        if (script) {
            HttpReply reply;
            if (script(object, &reply))
                return reply;
        }
        auto found = objects.find(object);
        HttpReply reply;
        if (found == objects.end())
            reply.status = 404;
        else
            reply.body = found->second;
        return reply;
    }

    // Publishes a file and returns its manifest line.
    std::string Publish(const std::string &path, const std::string &bytes)
    {
        std::string object = "/latest/" + path;
        for (char &c : object)
            if (c == '\\')
                c = '/';
        objects[object] = bytes;
        return std::to_string(Crc(bytes)) + " " + path + "\r\n";
    }

    void SetManifest(const std::string &text) { objects["/latest/manifest.txt"] = text; }
    size_t ManifestSize() { return objects["/latest/manifest.txt"].size(); }

    bool EnsureFolderFor(const std::string &path)
    {
        std::string target = install + "\\" + path;
        return EnsureParentFolders(install.c_str(), target.c_str()) == 1;
    }

    std::string Installed(const std::string &path)
    {
        std::string bytes;
        return ReadWholeFile(install + "\\" + path, &bytes) ? bytes : "<missing>";
    }

    void Run()
    {
        StartPatchWorker(recorder.window(), install.c_str());
        ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs)) << "the run did not end";
        ExpectCleanEnd();
    }

    // Every run that reached its end leaves no temporary file and no text copy.
    void ExpectCleanEnd()
    {
        EXPECT_EQ(ListFolder(tmp), std::vector<std::string>()) << "temporary files left";
        for (const Notification &note : recorder.all) {
            if (!note.text.empty()) {
                EXPECT_FALSE(HeapHoldsTextCopy(note.text.c_str())) << "copy left: " << note.text;
            }
        }
    }

    Numbers StartNumbers() { return {Enable(0), Total(0), File(0)}; }
    Numbers ManifestNumbers() { return {File(OneChunkPercent(ManifestSize()))}; }

    TempFolder temp;
    std::string install, tmp, old_tmp, old_temp;
    std::unique_ptr<HttpTestServer> server;
    HANDLE held = NULL, release = NULL;
    std::unique_ptr<ProxySetting> proxy;
    NotifyRecorder recorder;
    std::map<std::string, std::string> objects;
    std::vector<std::string> objects_requested;
    std::function<bool(const std::string &, HttpReply *)> script;
};

TEST_F(PatchRunTest, NothingListed)
{
    SetManifest("12345\r\n");
    Run();
    EXPECT_EQ(recorder.LogLines(), Lines({"Searching for updates...", "No updates are available."}));
    EXPECT_EQ(recorder.Numbers(), Concat({StartNumbers(), ManifestNumbers(), {Result(), Enable(1)}}));
    EXPECT_EQ(recorder.StatusTexts(), Lines({"Updating...", "Done."}));
}

TEST_F(PatchRunTest, CompleteWhenEveryEntryIsCurrent)
{
    std::string manifest;
    const char *names[] = {"a.pak", "data\\b.pak", "data/c d.pak"};
    for (const char *name : names) {
        std::string bytes = std::string("content of ") + name;
        manifest += Publish(name, bytes);
        ASSERT_EQ(EnsureFolderFor(name), true);
        ASSERT_TRUE(WriteWholeFile(install + "\\" + name, bytes));
    }
    SetManifest(manifest);
    Run();
    EXPECT_EQ(recorder.LogLines(),
              Lines({"Searching for updates...", "Already up to date: a.pak",
                     "Already up to date: data\\b.pak", "Already up to date: data/c d.pak",
                     "Patch complete."}));
    EXPECT_EQ(recorder.Numbers(),
              Concat({StartNumbers(), ManifestNumbers(),
                      {Total(33), Total(66), Total(100), Result(), Enable(1)}}));
    EXPECT_EQ(objects_requested, Lines({"/latest/manifest.txt"}));
}

TEST_F(PatchRunTest, FailedAfterFiveCorruptDownloads)
{
    ASSERT_TRUE(WriteWholeFile(install + "\\one", "1"));
    std::string second = "the second file";
    SetManifest(Publish("one", "1") + "12345 two\r\n" + Publish("three", "3"));
    objects["/latest/two"] = second; // listed with a CRC it does not have
    Run();
    Lines expected = {"Searching for updates...", "Already up to date: one"};
    for (int i = 0; i < 5; i++) {
        expected.push_back("Downloading two");
        expected.push_back("Error: downloaded file is corrupt, trying again...");
    }
    expected.push_back("Error: exceeded maximum attempts, giving up.");
    expected.push_back("Patch failed.");
    EXPECT_EQ(recorder.LogLines(), expected);
    Numbers numbers = Concat({StartNumbers(), ManifestNumbers(), {Total(33)}});
    for (int i = 0; i < 5; i++) {
        numbers.push_back(File(0));
        numbers.push_back(File(OneChunkPercent(second.size())));
    }
    numbers.push_back(Enable(1));
    EXPECT_EQ(recorder.Numbers(), numbers);
    EXPECT_EQ(Installed("three"), "<missing>") << "the third entry was examined";
    EXPECT_EQ(Installed("two"), "<missing>");
}

TEST_F(PatchRunTest, UpdatesMissingDifferentAndRetriedFiles)
{
    ASSERT_TRUE(WriteWholeFile(install + "\\different.txt", "old bytes"));
    int retried_requests = 0;
    script = [&](const std::string &object, HttpReply *reply) {
        if (object != "/latest/retried.bin" || ++retried_requests >= 3)
            return false;
        reply->status = 500;
        return true;
    };
    SetManifest(Publish("missing.txt", "new file") + Publish("different.txt", "new bytes") +
                Publish("retried.bin", "third time lucky") +
                Publish("deep\\er/folder\\made.txt", "made"));
    Run();
    EXPECT_EQ(recorder.LogLines(),
              Lines({"Searching for updates...", "Downloading missing.txt", "Updating missing.txt",
                     "Downloading different.txt", "Updating different.txt",
                     "Downloading retried.bin",
                     "Error: download failed with err, trying again... 801901f4",
                     "Downloading retried.bin",
                     "Error: download failed with err, trying again... 801901f4",
                     "Downloading retried.bin", "Updating retried.bin",
                     "Downloading deep\\er/folder\\made.txt", "Updating deep\\er/folder\\made.txt",
                     "Patch complete."}));
    EXPECT_EQ(Installed("missing.txt"), "new file");
    EXPECT_EQ(Installed("different.txt"), "new bytes");
    EXPECT_EQ(Installed("retried.bin"), "third time lucky");
    EXPECT_EQ(Installed("deep\\er\\folder\\made.txt"), "made");
    EXPECT_EQ(ListFolder(install).size(), 4u) << "no leftover beside the files";
    Numbers numbers = recorder.Numbers();
    ASSERT_GE(numbers.size(), 3u);
    EXPECT_EQ(numbers[numbers.size() - 2], Result());
    std::vector<WPARAM> totals;
    for (const auto &n : numbers)
        if (n.first == WM_APP_TOTAL_PROGRESS)
            totals.push_back(n.second);
    EXPECT_EQ(totals, std::vector<WPARAM>({0, 25, 50, 75, 100}));
}

TEST_F(PatchRunTest, PathsThatCannotBeUsed)
{
    const std::string long_name(512, 'n'); // fits locally only below a short folder
    const struct {
        const char *name;
        std::string entry;
        const char *error;
        bool later_entries_taken;
    } cases[] = {
        {"unsafe", "7 ..\\outside.txt\r\n", "Error: path must be a relative one.", false},
        {"a name Windows rewrites", "7 data.\r\n", "Error: path must be a relative one.", false},
        {"a device", "0 NUL\r\n", "Error: path must be a relative one.", false},
        {"local path too long", "7 " + std::string(515, 'x') + "\r\n", "Error: path is too long.",
         false},
        {"server path too long", "7 " + long_name + "\r\n", "Error: server path is too long.",
         true},
    };
    for (const auto &c : cases) {
        // A relative installation folder keeps the joined local path short
        // enough for the long name, so only the server path overflows.
        char previous[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, previous);
        SetCurrentDirectoryA(temp.path.c_str());
        std::string short_install = "inst";
        recorder.all.clear();
        objects_requested.clear();
        DeleteFileA((install + "\\later.txt").c_str());
        SetManifest(c.entry + Publish("later.txt", "later"));

        StartPatchWorker(recorder.window(), short_install.c_str());
        ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs)) << c.name;
        SetCurrentDirectoryA(previous);

        Lines expected = {"Searching for updates...", c.error};
        if (c.later_entries_taken) {
            expected.push_back("Downloading later.txt");
            expected.push_back("Updating later.txt");
        }
        expected.push_back("Patch failed.");
        EXPECT_EQ(recorder.LogLines(), expected) << c.name;
        EXPECT_EQ(Installed("later.txt") == "later", c.later_entries_taken) << c.name;
        ExpectCleanEnd();
    }
    EXPECT_FALSE(FileExists(temp.Join("outside.txt")));
}

TEST_F(PatchRunTest, AReplacementThatFailsIsNotRetried)
{
    const struct {
        const char *name;
        bool folder; // the target is a folder holding the installed file
    } cases[] = {{"target held open", false}, {"a folder at the target", true}};
    for (const auto &c : cases) {
        recorder.all.clear();
        std::string target = install + "\\held.dat";
        std::string installed = c.folder ? target + "\\inner" : target;
        if (c.folder) {
            ASSERT_TRUE(CreateDirectoryA(target.c_str(), NULL));
        }
        ASSERT_TRUE(WriteWholeFile(installed, "installed"));
        HANDLE holder = CreateFileA(installed.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        if (c.folder)
            CloseHandle(holder); // a folder is never moved, in use or not
        SetManifest(Publish("held.dat", "replacement"));
        Run();
        if (!c.folder)
            CloseHandle(holder);
        EXPECT_EQ(recorder.LogLines(),
                  Lines({"Searching for updates...", "Downloading held.dat",
                         "Error: unable to update file on disk.",
                         "Error: exceeded maximum attempts, giving up.", "Patch failed."}))
            << c.name;
        EXPECT_EQ(Installed(c.folder ? "held.dat\\inner" : "held.dat"), "installed") << c.name;
        EXPECT_EQ(ListFolder(install), std::vector<std::string>({"held.dat"})) << c.name;
        DeleteFileA(installed.c_str());
        RemoveDirectoryA(target.c_str());
    }
}

TEST_F(PatchRunTest, FoldersThatCannotBeMade)
{
    // A file where a folder goes; a link that leads out of the installation.
    ASSERT_TRUE(WriteWholeFile(install + "\\data", "a file where a folder should be"));
    ASSERT_TRUE(CreateDirectoryA(temp.Join("outside").c_str(), NULL));
    UnixSymlink link(install + "\\link", temp.Join("outside"));
    ASSERT_TRUE(link.made);
    for (const char *path : {"data\\x.bin", "link\\escaped\\x.bin", "link\\x.bin"}) {
        recorder.all.clear();
        SetManifest(Publish(path, "x"));
        Run();
        EXPECT_EQ(recorder.LogLines(),
                  Lines({"Searching for updates...", std::string("Downloading ") + path,
                         "Error: unable to create folders for update.",
                         "Error: exceeded maximum attempts, giving up.", "Patch failed."}))
            << path;
    }
    EXPECT_EQ(ListFolder(temp.Join("outside")), std::vector<std::string>());
}

TEST_F(PatchRunTest, CheckFailures)
{
    const struct {
        const char *name;
        int manifest; // 0: none (404); 1: empty; 2: server down
        const char *error;
    } cases[] = {
        {"manifest missing", 0, "Error: unable to contact the update server."},
        {"empty manifest", 1, "Error: received invalid update information."},
        {"server down", 2, "Error: unable to contact the update server."},
    };
    for (const auto &c : cases) {
        recorder.all.clear();
        objects.clear();
        if (c.manifest == 1)
            SetManifest("");
        std::unique_ptr<ProxySetting> dead;
        RefusingPort refusing; // held, so that nothing else takes it
        if (c.manifest == 2)
            dead.reset(new ProxySetting(refusing.port));
        Run();
        dead.reset();
        EXPECT_EQ(recorder.LogLines(),
                  Lines({"Searching for updates...", c.error, "Unable to check for updates."}))
            << c.name;
        Numbers numbers = recorder.Numbers();
        ASSERT_FALSE(numbers.empty()) << c.name;
        EXPECT_EQ(numbers.back(), Enable(1)) << c.name;
        for (const auto &n : numbers) {
            EXPECT_NE(n.first, WM_APP_PATCH_RESULT) << c.name;
        }
        EXPECT_EQ(recorder.StatusTexts(), Lines({"Updating...", "Done."})) << c.name;
    }
}

TEST_F(PatchRunTest, NoInstallationFolder)
{
    SetManifest(Publish("a", "a"));
    StartPatchWorker(recorder.window(), NULL);
    ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs));
    EXPECT_EQ(recorder.LogLines(), Lines({"Searching for updates...", "Unable to check for updates."}));
    EXPECT_EQ(recorder.Numbers(), Concat({StartNumbers(), {Enable(1)}}));
    EXPECT_TRUE(objects_requested.empty());
}

TEST_F(PatchRunTest, NoWindowSweepsOnly)
{
    ASSERT_TRUE(WriteWholeFile(install + "\\game.exe.old", "leftover"));
    SetManifest(Publish("a", "a"));
    StartPatchWorker(NULL, install.c_str());
    ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs));
    EXPECT_TRUE(recorder.all.empty());
    EXPECT_FALSE(FileExists(install + "\\game.exe.old"));
    EXPECT_TRUE(objects_requested.empty());
    ExpectCleanEnd();
}

TEST_F(PatchRunTest, PostsToADestroyedWindowLeaveNoCopies)
{
    SetManifest("1 a\r\n");
    HWND gone = recorder.window();
    recorder.Destroy();
    StartPatchWorker(gone, install.c_str());
    ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs));
    const char *texts[] = {"Updating...", "Searching for updates...", "Downloading a",
                           "Patch failed.", "Done."};
    for (const char *text : texts)
        EXPECT_FALSE(HeapHoldsTextCopy(text)) << text;
    EXPECT_EQ(ListFolder(tmp), std::vector<std::string>());
}

// Cancellation made deterministic: the server holds a reply until the test has
// asked for cancellation, then lets it go.
TEST_F(PatchRunTest, CancelDuringTheManifestDownload)
{
    SetManifest(Publish("a", "a"));
    script = [](const std::string &object, HttpReply *reply) {
        reply->hold = object == "/latest/manifest.txt";
        reply->body = "1 a\r\n";
        return reply->hold;
    };
    StartPatchWorker(recorder.window(), install.c_str());
    ASSERT_TRUE(WaitForSingleObject(held, kRunTimeoutMs) == WAIT_OBJECT_0);
    RequestCancel();
    SetEvent(release);
    ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs));
    ExpectCleanEnd();
    EXPECT_EQ(recorder.LogLines(),
              Lines({"Searching for updates...", "Error: unable to contact the update server.",
                     "Unable to check for updates."}));
}

TEST_F(PatchRunTest, CancelDuringAFileDownloadThenRestart)
{
    SetManifest(Publish("a", "file a") + Publish("b", "file b"));
    bool hold = true;
    script = [&](const std::string &object, HttpReply *reply) {
        if (object != "/latest/a" || !hold)
            return false;
        reply->hold = true;
        reply->body = "file a";
        return true;
    };
    StartPatchWorker(recorder.window(), install.c_str());
    ASSERT_TRUE(WaitForSingleObject(held, kRunTimeoutMs) == WAIT_OBJECT_0);
    RequestCancel();
    StartPatchWorker(NULL, NULL); // during a run: changes nothing
    EXPECT_EQ(g_patch_worker.cancel_requested, 1);
    EXPECT_EQ(g_patch_worker.notify_window, recorder.window());
    SetEvent(release);
    ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs));
    ExpectCleanEnd();
    EXPECT_EQ(recorder.LogLines(),
              Lines({"Searching for updates...", "Downloading a", "Patch cancelled."}));
    EXPECT_EQ(Installed("a"), "<missing>");
    EXPECT_EQ(recorder.Numbers().back(), Enable(1));

    hold = false;
    recorder.all.clear();
    Run();
    EXPECT_EQ(recorder.LogLines(),
              Lines({"Searching for updates...", "Downloading a", "Updating a", "Downloading b",
                     "Updating b", "Patch complete."}));
}

// The second GENERIC_READ open of a temporary file is the verification of the
// last download: a cancellation that arrives then is seen only after the file
// is in place.
typedef HANDLE(WINAPI *CreateFileAFn)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                      HANDLE);
CreateFileAFn g_real_create_file = NULL;
std::string g_cancel_folder;
int g_temp_reads = 0;

HANDLE WINAPI CancelOnSecondTempRead(LPCSTR name, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                     DWORD flags, HANDLE model)
{
    if (access == GENERIC_READ && std::string(name).find(g_cancel_folder) == 0 &&
        ++g_temp_reads == 2)
        RequestCancel();
    return g_real_create_file(name, access, share, security, disposition, flags, model);
}

TEST_F(PatchRunTest, CancelWhileTheLastFileIsMovedIn)
{
    SetManifest(Publish("last.bin", "last"));
    g_cancel_folder = tmp;
    g_temp_reads = 0;
    g_real_create_file = (CreateFileAFn)PatchImport("kernel32.dll", "CreateFileA",
                                                    (void *)CancelOnSecondTempRead);
    ASSERT_NE(g_real_create_file, nullptr);
    Run();
    PatchImport("kernel32.dll", "CreateFileA", (void *)g_real_create_file);
    EXPECT_EQ(recorder.LogLines(), Lines({"Searching for updates...", "Downloading last.bin",
                                          "Updating last.bin", "Patch cancelled."}));
    EXPECT_EQ(Installed("last.bin"), "last");
}

HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                  DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

TEST_F(PatchRunTest, AThreadThatCannotBeCreated)
{
    void *real = PatchImport("kernel32.dll", "CreateThread", (void *)FailingCreateThread);
    ASSERT_NE(real, nullptr);
    StartPatchWorker(recorder.window(), install.c_str());
    PatchImport("kernel32.dll", "CreateThread", real);
    EXPECT_EQ(IsWorkerIdle(), 1);
    EXPECT_EQ(g_patch_worker.notify_window, (HWND)NULL);
    EXPECT_EQ(g_patch_worker.install_dir, nullptr);
    recorder.PumpUntil([] { return false; }, 200);
    EXPECT_TRUE(recorder.all.empty());
}

TEST(MakeTempFileName, MakesAnEmptyBhpFileOrRefuses)
{
    TempFolder temp;
    char old_tmp[MAX_PATH] = {};
    GetEnvironmentVariableA("TMP", old_tmp, MAX_PATH);
    SetEnvironmentVariableA("TMP", temp.path.c_str());
    char name[MAX_PATH] = {};
    EXPECT_EQ(MakeTempFileName(name, MAX_PATH), 1);
    std::string made = name;
    EXPECT_EQ(made.find(temp.path + "\\BHP"), 0u) << made;
    std::string bytes = "x";
    EXPECT_TRUE(ReadWholeFile(made, &bytes));
    EXPECT_EQ(bytes, "");
    EXPECT_EQ(MakeTempFileName(NULL, MAX_PATH), 0);
    EXPECT_EQ(MakeTempFileName(name, 0), 0);
    SetEnvironmentVariableA("TMP", temp.Join("no such folder").c_str());
    EXPECT_EQ(MakeTempFileName(name, MAX_PATH), 0);
    SetEnvironmentVariableA("TMP", old_tmp[0] ? old_tmp : NULL);
}

} // namespace

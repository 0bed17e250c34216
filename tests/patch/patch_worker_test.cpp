#include "patch/patch_worker.h"

#include "app/notifications.h"
#include "patch/fetch_ahead.h"
#include "patch/held_files.h"
#include "patch/install_paths.h"
#include "patch/path_rules.h"
#include "patch/quick_check.h"
#include "support/file_tree.h"
#include "support/heap_probe.h"
#include "support/http_test_server.h"
#include "support/proxy_setting.h"
#include "support/iat_patch.h"
#include "support/notify_recorder.h"
#include "support/nt_file_hook.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <tlhelp32.h>
#include <memory>
#include <mutex>
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

std::pair<UINT, WPARAM> Enable(WPARAM v) { return {WM_APP_ENABLE_LAUNCH, v}; }
std::pair<UINT, WPARAM> Total(WPARAM v) { return {WM_APP_TOTAL_PROGRESS, v}; }
std::pair<UINT, WPARAM> File(WPARAM v) { return {WM_APP_FILE_PROGRESS, v}; }
std::pair<UINT, WPARAM> Result() { return {WM_APP_PATCH_RESULT, 1}; }

// Entries of NotifyRecorder::Sequence().
std::string Log(const std::string &text) { return "log " + text; }
std::string Status(const std::string &text) { return "status " + text; }
std::string Num(const char *name, int value) { return std::string(name) + " " + std::to_string(value); }

Lines Join(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Lines kStartSequence = {Num("enable", 0), Num("total", 0), Num("file", 0),
                              Status("Updating..."), Log("Searching for updates...")};
const Lines kEndSequence = {Num("enable", 1), Status("Done.")};

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
    DWORD trickle_ms = 0; // when set: the body a byte at a time, this far apart
    DWORD pause_ms = 0;   // the server thinks this long before it answers
};

const DWORD kMaxHoldMs = 20000;
const DWORD kWorkerTimeLimitMs = 30000; // the worker's download limit and receive timeout
// Outlives the slowest download a run can make, so that a trickle is never
// ended by the server stopping.
const DWORD kServerLifetimeMs = 3 * kWorkerTimeLimitMs;

// One whole patch run per test: an installation folder and a temporary folder
// of the test's own, the update server on loopback reached through the proxy
// setting, and a window that records what the worker posts.
class PatchRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        install = temp.Join("inst");
        staging = install + "\\" + kStagingFolderName;
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
            [this](HttpTestConnection &c, const RecordedRequest &r) { return Answer(c, r); }, 0,
            kServerLifetimeMs));
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
        HttpReply reply;
        {
            std::lock_guard<std::mutex> serving(serve_lock); // requests come at once
            reply = Serve(request.target);
        }
        if (reply.hold) {
            SetEvent(held);
            WaitForSingleObject(release, kMaxHoldMs);
        }
        if (reply.pause_ms)
            connection.Pause(reply.pause_ms);
        std::string head = ResponseHead(
            reply.status,
            {"Content-Length: " + std::to_string(reply.body.size()), "Connection: close"});
        if (reply.trickle_ms == 0) {
            connection.Send(head + reply.body);
            return false;
        }
        connection.Send(head);
        SetEvent(held);
        connection.Trickle(reply.body, 1, reply.trickle_ms);
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

    // A line of blanks (which lists nothing) after a manifest that lists
    // something makes it long enough that its one chunk reports 100.
    void SetManifest(const std::string &text)
    {
        std::string &manifest = objects["/latest/manifest.txt"];
        manifest = text.empty() ? text : text + "\r\n" + std::string(200, ' ');
    }

    bool EnsureFolderFor(const std::string &path)
    {
        HANDLE held_install = HoldInstallationFolder(install.c_str());
        HeldFolders folders;
        bool made = HoldFoldersBelow(held_install, path.c_str(), 1, &folders) == 1;
        ReleaseFolders(&folders);
        CloseHandle(held_install);
        return made;
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

    // Every run that reached its end leaves no temporary file, no staging
    // folder and no text copy; the user's temporary folder is never used.
    void ExpectCleanEnd()
    {
        EXPECT_EQ(ListFolder(tmp), std::vector<std::string>()) << "temporary files left";
        EXPECT_FALSE(FolderExists(staging)) << "staging folder left";
        for (const Notification &note : recorder.all) {
            if (!note.text.empty()) {
                EXPECT_FALSE(HeapHoldsTextCopy(note.text.c_str())) << "copy left: " << note.text;
                EXPECT_EQ(note.block, note.text.size() + 1) << "copy size of " << note.text;
            }
        }
    }

    // The worker's own notifications in order: the downloader's percentages
    // (all but the worker's 0 before each attempt) are left out.
    Lines Trace()
    {
        Lines trace;
        for (const std::string &entry : recorder.Sequence())
            if (entry.compare(0, 5, "file ") != 0 || entry == "file 0")
                trace.push_back(entry);
        return trace;
    }

    Numbers StartNumbers() { return {Enable(0), Total(0), File(0)}; }
    Numbers ManifestNumbers() { return {File(100)}; }

    TempFolder temp;
    std::string install, staging, tmp, old_tmp, old_temp;
    std::unique_ptr<HttpTestServer> server;
    HANDLE held = NULL, release = NULL;
    std::unique_ptr<ProxySetting> proxy;
    NotifyRecorder recorder;
    std::map<std::string, std::string> objects;
    std::vector<std::string> objects_requested;
    std::function<bool(const std::string &, HttpReply *)> script;
    std::mutex serve_lock;
};

// Platform calls that fail once, at a call chosen by each test.
decltype(&HeapAlloc) g_real_heap_alloc = NULL;
SIZE_T g_fail_alloc_size = 0; // the worker's next allocation of this size fails
DWORD g_test_thread = 0;

LPVOID WINAPI HeapAllocFailingOnce(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    if (g_fail_alloc_size && bytes == g_fail_alloc_size && GetCurrentThreadId() != g_test_thread) {
        g_fail_alloc_size = 0;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    return g_real_heap_alloc(heap, flags, bytes);
}

decltype(&PostMessageA) g_real_post = NULL;
volatile LONG g_posts = 0;         // notifications posted to any window, or to none
std::string g_fail_post_text;      // a text whose post fails

BOOL WINAPI CountingPost(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message < WM_APP_TOTAL_PROGRESS || message > WM_APP_PATCH_RESULT)
        return g_real_post(window, message, wparam, lparam);
    InterlockedIncrement(&g_posts);
    if (message == WM_APP_LOG_LINE && lparam && g_fail_post_text == (const char *)lparam) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    return g_real_post(window, message, wparam, lparam);
}

DWORD WINAPI UnknownFileSize(HANDLE, LPDWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_FILE_SIZE;
}

// The manifest's read (the one read of its whole size) comes back short or
// failed. Its buffer is then NUL-terminated, so that the heap probe finds it
// if it is not freed.
decltype(&ReadFile) g_real_read = NULL;
DWORD g_spoil_read_of = 0;
bool g_read_fails = false;

BOOL WINAPI SpoiledRead(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED over)
{
    BOOL ok = g_real_read(file, buffer, size, got, over);
    if (size != g_spoil_read_of || !ok || *got != size)
        return ok;
    g_spoil_read_of = 0;
    ((char *)buffer)[size] = '\0';
    if (g_read_fails) {
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    *got = size - 1;
    return TRUE;
}


// The object a path is requested as.
std::string ServerObject(const char *path)
{
    char object[kJoinedPathCapacity];
    JoinServerPath("/latest/", path, object, kJoinedPathCapacity);
    return object;
}

// Reports one processor to the run while it lives (when asked to).
BOOL WINAPI OneProcessorAffinity(HANDLE, PDWORD_PTR process, PDWORD_PTR system)
{
    *process = 1;
    *system = 1;
    return TRUE;
}

struct OneProcessor {
    explicit OneProcessor(bool one)
    {
        if (one)
            hook.reset(new ImportHook("kernel32.dll", "GetProcessAffinityMask",
                                      (void *)OneProcessorAffinity, &real));
    }
    void *real = NULL;
    std::unique_ptr<ImportHook> hook;
};

// A stand-in for each attempt's download: the object's bytes, after a wait
// the test chooses (hold), ending early with kDownloadCancelled as soon as the
// run's cancel flag is set, as the downloader does.
struct StandIn {
    std::mutex lock;
    std::map<std::string, std::string> objects; // object path -> bytes; absent: 404
    std::function<bool(const std::string &object, DWORD waited_ms)> hold;
    std::vector<std::string> started, finished; // objects, in the order their downloads began, ended
    LONG in_flight = 0, cancelled = 0;
    bool midway = false; // reports 50 before it holds

    size_t Finished()
    {
        std::lock_guard<std::mutex> guard(lock);
        return finished.size();
    }
    bool HasFinished(const std::string &object)
    {
        std::lock_guard<std::mutex> guard(lock);
        return std::find(finished.begin(), finished.end(), object) != finished.end();
    }
    bool HasStarted(const std::string &object)
    {
        std::lock_guard<std::mutex> guard(lock);
        return std::find(started.begin(), started.end(), object) != started.end();
    }
};
StandIn *g_stand_in = NULL;
const DWORD kStandInHoldMs = 10000;

// Writes bytes into file from its start, as the downloader does.
bool WriteStaged(HANDLE file, const std::string &bytes)
{
    DWORD written = 0;
    return SetFilePointer(file, 0, NULL, FILE_BEGIN) == 0 && SetEndOfFile(file) &&
           WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL) &&
           written == bytes.size();
}

LONG StandInDownload(const char *, INTERNET_PORT, const char *object, HANDLE file, DWORD,
                     const DownloadObserver *observer)
{
    StandIn &stand_in = *g_stand_in;
    {
        std::lock_guard<std::mutex> guard(stand_in.lock);
        stand_in.started.push_back(object);
    }
    InterlockedIncrement(&stand_in.in_flight);
    LONG result = 0;
    DWORD start = GetTickCount();
    if (stand_in.midway && observer->on_progress)
        observer->on_progress(observer->context, 50);
    while (stand_in.hold && stand_in.hold(object, GetTickCount() - start) &&
           GetTickCount() - start < kStandInHoldMs) {
        if ((observer->cancel && *observer->cancel) || (observer->abort && *observer->abort)) {
            result = kDownloadCancelled;
            InterlockedIncrement(&stand_in.cancelled);
            break;
        }
        Sleep(2);
    }
    if (result == 0) {
        std::string bytes;
        bool found = false;
        {
            std::lock_guard<std::mutex> guard(stand_in.lock);
            auto it = stand_in.objects.find(object);
            found = it != stand_in.objects.end();
            if (found)
                bytes = it->second;
        }
        if (!found)
            result = (LONG)0x80190194;
        else if (!WriteStaged(file, bytes))
            result = E_FAIL;
        else if (observer->on_progress)
            observer->on_progress(observer->context, 100);
    }
    {
        std::lock_guard<std::mutex> guard(stand_in.lock);
        stand_in.finished.push_back(object);
    }
    InterlockedDecrement(&stand_in.in_flight);
    return result;
}

// Every attempt goes to the stand-in while this lives.
struct StandInScope {
    explicit StandInScope(const std::map<std::string, std::string> &objects)
    {
        stand_in.objects = objects;
        g_stand_in = &stand_in;
        g_fetch_download = StandInDownload;
        g_fetch_first_connections = kGaugeMaxConnections; // nothing flows to judge
    }
    ~StandInScope()
    {
        g_fetch_first_connections = kGaugeFirstConnections;
        g_fetch_download = HttpDownloadToOpenFile;
        g_stand_in = NULL;
    }
    StandIn stand_in;
};

TEST_F(PatchRunTest, NothingListed)
{
    SetManifest("12345\r\n");
    Run();
    EXPECT_EQ(Trace(), Join({kStartSequence, {Log("No updates are available."), Num("result", 1)},
                             kEndSequence}));
    EXPECT_EQ(recorder.Numbers(), Concat({StartNumbers(), ManifestNumbers(), {Result(), Enable(1)}}));
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
    EXPECT_EQ(Trace(), Join({kStartSequence,
                             {Log("Already up to date: a.pak"), Num("total", 33),
                              Log("Already up to date: data\\b.pak"), Num("total", 66),
                              Log("Already up to date: data/c d.pak"), Num("total", 100),
                              Log("Patch complete."), Num("result", 1)},
                             kEndSequence}));
    EXPECT_EQ(objects_requested, Lines({"/latest/manifest.txt"}));
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
    const std::string failed = Log("Error: download failed with err, trying again... 801901f4");
    auto updated = [](const std::string &path, int total) {
        return Lines({Log("Downloading " + path), Num("file", 0), Log("Updating " + path),
                      Num("total", total)});
    };
    EXPECT_EQ(Trace(),
              Join({kStartSequence, updated("missing.txt", 25), updated("different.txt", 50),
                    {Log("Downloading retried.bin"), Num("file", 0), failed,
                     Log("Downloading retried.bin"), Num("file", 0), failed},
                    updated("retried.bin", 75), updated("deep\\er/folder\\made.txt", 100),
                    {Log("Patch complete."), Num("result", 1)}, kEndSequence}));
    EXPECT_EQ(Installed("missing.txt"), "new file");
    EXPECT_EQ(Installed("different.txt"), "new bytes");
    EXPECT_EQ(Installed("retried.bin"), "third time lucky");
    EXPECT_EQ(Installed("deep\\er\\folder\\made.txt"), "made");
    EXPECT_EQ(ListFolder(install).size(), 4u) << "no leftover beside the files";
}

// A name that fits locally only below a short folder is too long for the
// server: that entry fails, and the run goes on below it.
TEST_F(PatchRunTest, AServerPathTooLongSkipsOnlyItsEntry)
{
    // A relative installation folder keeps the joined local path short enough
    // for the long name, so only the server path overflows.
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(temp.path.c_str());
    SetManifest("7 " + std::string(512, 'n') + "\r\n" + Publish("later.txt", "later"));
    StartPatchWorker(recorder.window(), "inst");
    ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs));
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(recorder.LogLines(),
              Lines({"Searching for updates...", "Error: server path is too long.",
                     "Downloading later.txt", "Updating later.txt", "Patch failed."}));
    EXPECT_EQ(Installed("later.txt"), "later");
    ExpectCleanEnd();
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
    g_posts = 0;
    {
        // A post to no window would go to the worker's own queue: count calls.
        ImportHook post("user32.dll", "PostMessageA", (void *)CountingPost, &g_real_post);
        ASSERT_NE(post.real, nullptr);
        StartPatchWorker(NULL, install.c_str());
        ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs));
    }
    EXPECT_EQ(g_posts, 0);
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

// Cancel ends a download in progress: a body that trickles in, well within
// the download's time limit, does not hold the run.
TEST_F(PatchRunTest, CancelDuringATricklingDownload)
{
    const DWORD kPromptMs = 2000;
    // What a run that ends at once takes on this machine now: a loaded one
    // stretches the cancel's way out as much.
    SetManifest("12345\r\n");
    DWORD baseline_start = GetTickCount();
    Run();
    DWORD baseline_ms = GetTickCount() - baseline_start;
    recorder.all.clear();
    const std::string body(100000, 'a');
    SetManifest(Publish("a", body));
    script = [&body](const std::string &object, HttpReply *reply) {
        reply->body = body;
        reply->trickle_ms = 1000;
        return object == "/latest/a";
    };
    StartPatchWorker(recorder.window(), install.c_str());
    ASSERT_TRUE(WaitForSingleObject(held, kRunTimeoutMs) == WAIT_OBJECT_0);
    // The downloader has reported the body's first byte: it waits for the next.
    ASSERT_TRUE(recorder.PumpUntil(
        [this] {
            Lines seen = recorder.Sequence();
            auto at = std::find(seen.begin(), seen.end(), Log("Downloading a"));
            return at != seen.end() && std::count(at, seen.end(), Num("file", 0)) >= 2;
        },
        kRunTimeoutMs));
    DWORD asked = GetTickCount();
    RequestCancel();
    ASSERT_TRUE(recorder.PumpUntilIdle(2 * kWorkerTimeLimitMs + 5000)) << "the run did not end";
    DWORD latency_ms = GetTickCount() - asked;
    printf("Cancel during a trickling download took %lu ms (a run of nothing %lu ms)\n",
           (unsigned long)latency_ms, (unsigned long)baseline_ms);
    ExpectCleanEnd();
    EXPECT_EQ(recorder.LogLines(),
              Lines({"Searching for updates...", "Downloading a", "Patch cancelled."}));
    EXPECT_LE(latency_ms, kPromptMs + baseline_ms);
}

// Reads are the worker's polling clock: each read of a staged file from its
// start (the staged files are read through the handles that wrote them) is
// counted, and at the chosen one a cancellation is requested or the read
// fails. The first is the manifest's, each later one the verification of a
// download.
typedef HANDLE(WINAPI *CreateFileAFn)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                      HANDLE);
decltype(&SetFilePointerEx) g_real_seek = NULL;
std::string g_read_folder;
int g_reads = 0;
int g_cancel_at_read = 0;
int g_fail_at_read = 0;

BOOL WINAPI CountedRead(HANDLE file, LARGE_INTEGER to, PLARGE_INTEGER at, DWORD method)
{
    char path[MAX_PATH] = "";
    GetFinalPathNameByHandleA(file, path, MAX_PATH, 0);
    if (to.QuadPart == 0 && method == FILE_BEGIN &&
        std::string(path).find(g_read_folder + "\\") != std::string::npos) {
        ++g_reads;
        if (g_reads == g_cancel_at_read)
            RequestCancel();
        if (g_reads == g_fail_at_read) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    return g_real_seek(file, to, at, method);
}

// Counts reads of the staged files in folder while it lives.
struct ReadOpenHook {
    ReadOpenHook(const std::string &folder, int cancel_at, int fail_at)
    {
        g_read_folder = folder.substr(folder.find('\\'));
        g_reads = 0;
        g_cancel_at_read = cancel_at;
        g_fail_at_read = fail_at;
        g_real_seek = (decltype(&SetFilePointerEx))PatchImport("kernel32.dll", "SetFilePointerEx",
                                                               (void *)CountedRead);
    }
    ~ReadOpenHook() { PatchImport("kernel32.dll", "SetFilePointerEx", (void *)g_real_seek); }
};

// With the quick check, runs report what full checks report; only what the
// last run did not confirm is read again (the downloaded manifest's read
// counts as one).
TEST_F(PatchRunTest, TheQuickCheckReadsOnlyWhatTheLastRunDidNotConfirm)
{
    UseQuickCheck(1);
    std::map<std::string, std::string> line;
    for (const char *name : {"a", "b", "c", "d"}) {
        line[name] = Publish(name, name);
        if (std::string(name) != "d") { // installed by the first run
            ASSERT_TRUE(WriteWholeFile(install + "\\" + name, name));
        }
    }
    const std::string listed = line["a"] + line["b"] + line["c"] + line["d"];
    auto current = [](std::vector<const char *> names) {
        Lines lines = {"Searching for updates..."};
        for (const char *name : names)
            lines.push_back(std::string("Already up to date: ") + name);
        lines.push_back("Patch complete.");
        return lines;
    };
    const struct {
        const char *run;
        std::string manifest;
        bool full; // asked for, as Restart does
        Lines log;
        int reads; // files read from their start in the installation, staged ones included
    } runs[] = {
        {"first: no record", listed, false,
         {"Searching for updates...", "Already up to date: a", "Already up to date: b",
          "Already up to date: c", "Downloading d", "Updating d", "Patch complete."},
         6}, // the manifest, a, b, c, d's download, and d once in place
        {"unchanged", listed, false, current({"a", "b", "c", "d"}), 1},
        {"failed at its second entry", line["a"] + "1 stop\r\n" + line["b"] + line["c"] + line["d"],
         false, {}, -1},
        {"after the failed run", listed, false, current({"a", "b", "c", "d"}), 4},
        {"a full check", listed, true, current({"a", "b", "c", "d"}), 5},
    };
    for (const auto &r : runs) {
        SCOPED_TRACE(r.run);
        recorder.all.clear();
        SetManifest(r.manifest);
        if (r.full)
            RequestFullCheck();
        ReadOpenHook reads(install, 0, 0);
        Run();
        if (r.reads < 0)
            continue;
        EXPECT_EQ(recorder.LogLines(), r.log);
        EXPECT_EQ(g_reads, r.reads);
    }
    UseQuickCheck(0);
}

// A cancellation that arrives while the last download is verified is seen
// only after the file is in place.
TEST_F(PatchRunTest, CancelWhileTheLastFileIsMovedIn)
{
    SetManifest(Publish("last.bin", "last"));
    {
        ReadOpenHook hook(staging, 2, 0);
        ASSERT_NE(g_real_seek, nullptr);
        Run();
    }
    EXPECT_EQ(recorder.LogLines(), Lines({"Searching for updates...", "Downloading last.bin",
                                          "Updating last.bin", "Patch cancelled."}));
    EXPECT_EQ(Installed("last.bin"), "last");
}

// Cancel asked for right after the worker posts the nth copy of a log line.
std::string g_cancel_after_line;
int g_cancel_after_nth = 0;

BOOL WINAPI CancellingPost(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    // The text is the window's once posted: looked at before.
    bool cancel = message == WM_APP_LOG_LINE && lparam &&
                  g_cancel_after_line == (const char *)lparam && --g_cancel_after_nth == 0;
    BOOL posted = g_real_post(window, message, wparam, lparam);
    if (cancel)
        RequestCancel();
    return posted;
}

// A request made between two polling points is seen at the next one.
TEST_F(PatchRunTest, CancelAtEachPollingPoint)
{
    const Lines corrupt = {"Downloading x", "Error: downloaded file is corrupt, trying again..."};
    const struct {
        const char *name;
        int cancel_at_read; // the temporary folder's reads, else after a log line
        const char *after_line;
        int nth;
        Lines log;
    } cases[] = {
        // After parsing: a failed check, not a cancellation.
        {"after parsing", 1, "", 0, {"Unable to check for updates."}},
        {"before an entry", 0, "Already up to date: a", 1,
         {"Already up to date: a", "Patch cancelled."}},
        {"before an attempt", 0, "Error: downloaded file is corrupt, trying again...", 1,
         Join({{"Already up to date: a", "Already up to date: b"}, corrupt, {"Patch cancelled."}})},
        // The fifth corrupt download of x: no "giving up" line.
        {"after the attempt loop", 0, "Error: downloaded file is corrupt, trying again...", 5,
         Join({{"Already up to date: a", "Already up to date: b"}, corrupt, corrupt, corrupt,
               corrupt, corrupt, {"Patch cancelled."}})},
    };
    ASSERT_TRUE(WriteWholeFile(install + "\\a", "a"));
    ASSERT_TRUE(WriteWholeFile(install + "\\b", "b"));
    SetManifest(Publish("a", "a") + Publish("b", "b") + "12345 x\r\n" + Publish("c", "c"));
    objects["/latest/x"] = "not 12345";
    for (const auto &c : cases) {
        recorder.all.clear();
        g_cancel_after_line = c.after_line;
        g_cancel_after_nth = c.nth;
        {
            ReadOpenHook hook(staging, c.cancel_at_read, 0);
            ImportHook post("user32.dll", "PostMessageA", (void *)CancellingPost, &g_real_post);
            Run();
        }
        EXPECT_EQ(recorder.LogLines(), Join({{"Searching for updates..."}, c.log})) << c.name;
        EXPECT_EQ(Trace().back(), Status("Done.")) << c.name;
        for (const auto &n : recorder.Numbers()) {
            EXPECT_NE(n.first, WM_APP_PATCH_RESULT) << c.name;
        }
        EXPECT_EQ(Installed("c"), "<missing>") << c.name;
    }
}

// Entries whose downloads end first are still reported, and installed, in
// manifest order, each exactly as a one-at-a-time run shows it.
TEST_F(PatchRunTest, LaterEntriesThatFinishFirstAreReportedInOrder)
{
    const char *names[] = {"a", "b", "c", "d"};
    std::string manifest;
    for (const char *name : names)
        manifest += Publish(name, std::string("bytes of ") + name);
    SetManifest(manifest);
    for (bool one_core : {false, true}) {
        OneProcessor processors(one_core);
        recorder.all.clear();
        for (const char *name : names)
            DeleteFileA((install + "\\" + name).c_str());
        StandInScope scope(objects);
        StandIn &stand_in = scope.stand_in;
        stand_in.hold = [&stand_in](const std::string &object, DWORD) {
            return object == "/latest/a" && stand_in.Finished() < 3;
        };
        Run();
        ASSERT_EQ(stand_in.finished.size(), 4u);
        EXPECT_EQ(stand_in.finished.back(), "/latest/a") << "a did not finish last";
        Lines expected = kStartSequence;
        Numbers numbers = Concat({StartNumbers(), ManifestNumbers()});
        int total = 0;
        for (const char *name : names) {
            total += 25;
            Lines entry = {Log(std::string("Downloading ") + name), Num("file", 0),
                           Log(std::string("Updating ") + name), Num("total", total)};
            expected.insert(expected.end(), entry.begin(), entry.end());
            numbers.insert(numbers.end(), {File(0), File(100), Total(total)});
            EXPECT_EQ(Installed(name), std::string("bytes of ") + name);
        }
        expected = Join({expected, {Log("Patch complete."), Num("result", 1)}, kEndSequence});
        numbers.insert(numbers.end(), {Result(), Enable(1)});
        EXPECT_EQ(Trace(), expected) << (one_core ? "one core" : "two cores");
        EXPECT_EQ(recorder.Numbers(), numbers) << (one_core ? "one core" : "two cores");
    }
}

// A run that stops at an entry installs nothing below it, and deletes what
// was fetched for the entries below.
TEST_F(PatchRunTest, ARunStoppedAtAnEntryChangesNothingBelowIt)
{
    Lines five_failures;
    for (int i = 0; i < 5; i++) {
        five_failures.push_back("Downloading stop");
        five_failures.push_back("Error: download failed with err, trying again... 80190194");
    }
    five_failures.push_back("Error: exceeded maximum attempts, giving up.");
    Lines five_corrupt;
    for (int i = 0; i < 5; i++) {
        five_corrupt.push_back("Downloading corrupt");
        five_corrupt.push_back("Error: downloaded file is corrupt, trying again...");
    }
    five_corrupt.push_back("Error: exceeded maximum attempts, giving up.");
    const Lines not_relative = {"Error: path must be a relative one."};
    const struct {
        const char *name;
        std::string entry;   // the entry the run stops at
        bool below_fetched;  // the entry below it is downloaded first
        Lines log;
        int whole_bodies;    // its attempts that show 0 then 100, where counted
    } cases[] = {
        {"five failed downloads", "1 stop\r\n", true, five_failures, 0},
        {"five corrupt downloads", "12345 corrupt\r\n", true, five_corrupt, 5},
        {"a folder at the target", Publish("held", "held"), true,
         {"Downloading held", "Error: unable to update file on disk.",
          "Error: exceeded maximum attempts, giving up."}, 0},
        {"a target held open", Publish("open.dat", "new"), true,
         {"Downloading open.dat", "Error: unable to update file on disk.",
          "Error: exceeded maximum attempts, giving up."}, 0},
        {"a file where a folder goes", Publish("data\\x.bin", "x"), true,
         {"Downloading data\\x.bin", "Error: unable to create folders for update.",
          "Error: exceeded maximum attempts, giving up."}, 0},
        {"a link out of the installation", Publish("link\\x.bin", "x"), true,
         {"Downloading link\\x.bin", "Error: unable to create folders for update.",
          "Error: exceeded maximum attempts, giving up."}, 0},
        {"a folder below a link", Publish("link\\escaped\\x.bin", "x"), true,
         {"Downloading link\\escaped\\x.bin", "Error: unable to create folders for update.",
          "Error: exceeded maximum attempts, giving up."}, 0},
        {"an unsafe path", "1 ..\\stop\r\n", false, not_relative, 0},
        {"a name Windows rewrites", "7 data.\r\n", false, not_relative, 0},
        {"a device", "0 NUL\r\n", false, not_relative, 0},
        {"a local path too long", "7 " + std::string(515, 'x') + "\r\n", false,
         {"Error: path is too long."}, 0},
    };
    objects["/latest/corrupt"] = std::string(200, 's'); // one chunk, not its listed CRC
    ASSERT_TRUE(EnsureFolderFor("held\\inner"));
    ASSERT_TRUE(WriteWholeFile(install + "\\held\\inner", "a folder at the target"));
    ASSERT_TRUE(WriteWholeFile(install + "\\open.dat", "installed"));
    HANDLE holder = CreateFileA((install + "\\open.dat").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteWholeFile(install + "\\data", "a file where a folder should be"));
    ASSERT_TRUE(CreateDirectoryA(temp.Join("outside").c_str(), NULL));
    UnixSymlink link(install + "\\link", temp.Join("outside"));
    ASSERT_TRUE(link.made);
    for (bool one_core : {false, true}) {
        for (const auto &c : cases) {
            OneProcessor processors(one_core);
            recorder.all.clear();
            DeleteFileA((install + "\\first").c_str());
            SetManifest(Publish("first", "first") + c.entry + Publish("below", "below"));
            StandInScope scope(objects);
            StandIn &stand_in = scope.stand_in;
            bool wait = c.below_fetched;
            // Else the first is held a while, so that the window refills
            // while the worker waits: nothing past an unsafe entry is taken.
            stand_in.hold = [&stand_in, wait](const std::string &object, DWORD waited_ms) {
                if (!wait)
                    return object == "/latest/first" && waited_ms < 300;
                return object != "/latest/below" && !stand_in.HasFinished("/latest/below");
            };
            Run();
            EXPECT_EQ(recorder.LogLines(),
                      Join({{"Searching for updates...", "Downloading first", "Updating first"},
                            c.log, {"Patch failed."}}))
                << c.name;
            EXPECT_EQ(Installed("first"), "first") << c.name;
            EXPECT_EQ(Installed("below"), "<missing>") << c.name;
            EXPECT_EQ(stand_in.HasFinished("/latest/below"), c.below_fetched) << c.name;
            if (c.whole_bodies > 0) {
                // The manifest's, the first's and each attempt's.
                Numbers shown;
                for (const auto &n : recorder.Numbers())
                    if (n.first == File(0).first)
                        shown.push_back(n);
                Numbers expected;
                for (int i = 0; i < c.whole_bodies + 2; i++)
                    expected.insert(expected.end(), {File(0), File(100)});
                EXPECT_EQ(shown, expected) << c.name;
            }
            ExpectCleanEnd();
        }
    }
    CloseHandle(holder);
    EXPECT_EQ(Installed("open.dat"), "installed");
    EXPECT_EQ(Installed("held\\inner"), "a folder at the target");
    EXPECT_EQ(ListFolder(temp.Join("outside")), std::vector<std::string>());
    EXPECT_FALSE(FileExists(temp.Join("stop"))) << "the unsafe path was written";
    EXPECT_EQ(ListFolder(install),
              std::vector<std::string>({"data", "first", "held", "link", "open.dat"}));
}

// The window holds the reported entry and kFetchAheadDepth below it, no
// more, and as many downloads run at once; Cancel ends every download in
// flight at once, their files deleted.
TEST_F(PatchRunTest, CancelWithAWindowOfDownloadsInFlight)
{
    const int kEntries = 12;
    std::string manifest;
    for (int i = 0; i < kEntries; i++)
        manifest += Publish("f" + std::to_string(i), "bytes " + std::to_string(i));
    SetManifest(manifest);
    StandInScope scope(objects);
    StandIn &stand_in = scope.stand_in;
    stand_in.hold = [](const std::string &, DWORD) { return true; };
    StartPatchWorker(recorder.window(), install.c_str());
    ASSERT_TRUE(recorder.PumpUntil(
        [&] { return stand_in.in_flight == (LONG)kFetchAheadDepth; }, kRunTimeoutMs))
        << "only " << stand_in.in_flight << " downloads at once";
    // Long enough for a fetcher to take one more, if it could.
    recorder.PumpUntil([&] { return stand_in.in_flight > (LONG)kFetchAheadDepth; }, 300);
    EXPECT_EQ(stand_in.in_flight, (LONG)kFetchAheadDepth);
    EXPECT_FALSE(stand_in.HasStarted("/latest/f" + std::to_string(kFetchSlots)));
    DWORD asked = GetTickCount();
    RequestCancel();
    ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs));
    DWORD latency_ms = GetTickCount() - asked;
    EXPECT_LT(latency_ms, 2000u);
    ExpectCleanEnd();
    EXPECT_EQ(recorder.LogLines(),
              Lines({"Searching for updates...", "Downloading f0", "Patch cancelled."}));
    EXPECT_EQ(stand_in.cancelled, (LONG)kFetchAheadDepth);
    EXPECT_EQ(ListFolder(install), std::vector<std::string>());
}

// Two entries for one file (names Windows takes for one, or two names of one
// file) end as they would one at a time: the second is checked after the
// first is in place, and not fetched while the first is under way.
TEST_F(PatchRunTest, TwoEntriesNamingOneFile)
{
    const Lines twice = {"Downloading %1", "Updating %1", "Downloading %2", "Updating %2"};
    const struct {
        const char *first, *second;
        const char *second_bytes;
        bool hard_link; // second is installed as a hard link to first
        Lines log;
    } cases[] = {
        {"data\\x.bin", "DATA/./X.bin", "one", false,
         {"Downloading %1", "Updating %1", "Already up to date: %2"}},
        {"y.bin", "Y.BIN", "two", false, twice},
        {"z.bin", "z.bin.old", "two", false, twice},      // its set-aside name
        {"w.bin", "w.bin.new.old", "two", false, twice},  // its staged copy's name
        {"LONGNA~1.BIN", "longname.bin", "two", false, twice}, // a short name
        {"caf\xe9.bin", "CAF\xc9.bin", "two", false, twice},   // beyond ASCII
        {"a.bin", "b.bin", "two", true, twice},
    };
    for (bool one_core : {false, true}) {
        OneProcessor processors(one_core);
        for (const auto &c : cases) {
            std::string name = std::string(c.second) + (one_core ? ", one core" : "");
            recorder.all.clear();
            objects.clear();
            for (const std::string &file : ListFolder(install)) {
                DeleteFileA((install + "\\" + file).c_str());
                RemoveTree(install + "\\" + file);
            }
            if (c.hard_link) {
                ASSERT_TRUE(WriteWholeFile(install + "\\" + c.first, "old"));
                ASSERT_TRUE(CreateHardLinkA((install + "\\" + c.second).c_str(),
                                            (install + "\\" + c.first).c_str(), NULL));
            }
            SetManifest(Publish(c.first, "one") + Publish(c.second, c.second_bytes));
            std::string first = ServerObject(c.first), second = ServerObject(c.second);
            objects[first] = "one";
            objects[second] = c.second_bytes;
            StandInScope scope(objects);
            StandIn &stand_in = scope.stand_in;
            // The first download takes long enough for an early fetch to begin.
            bool second_early = false;
            stand_in.hold = [&](const std::string &object, DWORD waited_ms) {
                if (object != first)
                    return false;
                second_early = second_early || stand_in.HasStarted(second);
                return waited_ms < 300;
            };
            Run();
            Lines log = {"Searching for updates..."};
            for (std::string line : c.log) {
                size_t at = line.find('%');
                log.push_back(line.substr(0, at) + (line[at + 1] == '1' ? c.first : c.second));
            }
            log.push_back("Patch complete.");
            EXPECT_EQ(recorder.LogLines(), log) << name;
            EXPECT_FALSE(second_early) << name << ": fetched while the first was under way";
        }
    }
}

// Handles and threads of the process, counted by the system. Wine's
// GetProcessHandleCount says 0, so every handle value is tried instead.
DWORD HandleCount()
{
    DWORD count = 0, flags = 0;
    for (UINT_PTR value = 4; value < 0x10000; value += 4)
        if (GetHandleInformation((HANDLE)value, &flags))
            count++;
    return count;
}

DWORD ThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    DWORD count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            count++;
    CloseHandle(snapshot);
    return count;
}

// The thread that posts the worker's notifications, held open from its first
// post so that a test can wait for its end.
HANDLE g_poster = NULL;

BOOL WINAPI PostNotingThread(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message >= WM_APP_TOTAL_PROGRESS && message <= WM_APP_PATCH_RESULT && !g_poster &&
        GetCurrentThreadId() != g_test_thread)
        g_poster = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
    return g_real_post(window, message, wparam, lparam);
}

// A run of many files, each replacing an installed one, leaves the process
// with the threads it had, and with no more handles than a run of no file
// leaves (the platform's WinINet keeps one per run under Wine).
TEST_F(PatchRunTest, ARunLeavesNoHandleOrThread)
{
    const int kFiles = 40;
    std::string manifest;
    for (int i = 0; i < kFiles; i++)
        manifest += Publish("d" + std::to_string(i % 4) + "\\f" + std::to_string(i), "new");
    StandInScope scope(objects);
    long handles_added[3] = {}, threads_added[3] = {};
    for (int pass = 0; pass < 3; pass++) { // many files, none, many: the first settles
        SetManifest(pass == 1 ? "12345\r\n" : manifest);
        for (int i = 0; i < kFiles; i++) {
            std::string path = "d" + std::to_string(i % 4) + "\\f" + std::to_string(i);
            ASSERT_TRUE(EnsureFolderFor(path));
            ASSERT_TRUE(WriteWholeFile(install + "\\" + path, "old"));
        }
        DWORD handles = HandleCount(), threads = ThreadCount();
        recorder.all.clear();
        {
            ImportHook post("user32.dll", "PostMessageA", (void *)PostNotingThread, &g_real_post);
            ASSERT_TRUE(post.real);
            Run();
        }
        // The worker thread may still be on its way out: counted once it is gone.
        ASSERT_TRUE(g_poster != NULL);
        EXPECT_EQ(WaitForSingleObject(g_poster, kRunTimeoutMs), WAIT_OBJECT_0);
        CloseHandle(g_poster);
        g_poster = NULL;
        handles_added[pass] = (long)HandleCount() - (long)handles;
        threads_added[pass] = (long)ThreadCount() - (long)threads;
    }
    EXPECT_EQ(Installed("d3\\f39"), "new");
    EXPECT_EQ(handles_added[2], handles_added[1]) << "handles left by a run of many files";
    EXPECT_EQ(threads_added[2], threads_added[1]) << "threads left by a run of many files";
}

// A text whose copy cannot be made, or whose post fails, is not shown; the
// run goes on, and no copy is left.
// Renames a folder away from the Unix side, as another program could while
// the run holds it (Wine keeps Win32 renames of a folder in use from it).
bool MoveAwayOnUnix(const std::string &from, const std::string &to)
{
    return RunUnixProgram({"/bin/mv", UnixPathOf(from), UnixPathOf(to)}) == 0;
}

// Between two native calls of a run (an open or make, a rename), a stand-in
// re-aims a name that a program without elevation may re-aim: the link that
// is the installation folder (a game moved to another disk), or a folder
// below it, at a decoy whose names lead elsewhere. The run works through the
// handles it holds, so nothing outside the installation changes, in any row,
// and what it installs lands in the folders it held. (Wine resolves the
// folder a rename is rooted at by its name, so a folder re-aimed between its
// opening and the move cannot be shown here; Windows renames relative to the
// folder the handle holds.)
TEST_F(PatchRunTest, NothingUnelevatedChangesWhatIsInstalled)
{
    enum Aim { kInstallation, kSubfolder };
    const struct {
        const char *name;
        NtFileCall call;
        const char *at; // the name of the call before which the stand-in acts
        Aim aim;
        bool complete; // else data\\game.dat is refused: its folder is a link
    } cases[] = {
        {"the installation re-aimed as the first download is made", kNtOpen, "BHP", kInstallation,
         true},
        {"the installation re-aimed before a move", kNtRename, "game.exe", kInstallation, true},
        {"the installation re-aimed before a folder is held", kNtOpen, "data", kInstallation,
         true},
        {"a folder re-aimed before it is held", kNtOpen, "data", kSubfolder, false},
    };
    const std::string real = temp.Join("real"), decoy = temp.Join("decoy"),
                      elsewhere = temp.Join("elsewhere"), linked = temp.Join("linked");
    for (const std::string &folder : {real, decoy, elsewhere})
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    ASSERT_TRUE(WriteWholeFile(elsewhere + "\\game.exe", "precious"));
    ASSERT_TRUE(WriteWholeFile(elsewhere + "\\game.dat", "precious"));
    UnixSymlink decoy_staging(decoy + "\\" + kStagingFolderName, elsewhere);
    UnixSymlink decoy_data(decoy + "\\data", elsewhere);
    ASSERT_TRUE(decoy_staging.made && decoy_data.made);
    SetManifest(Publish("game.exe", "the studio's game") + Publish("data\\game.dat", "data"));
    for (const auto &c : cases) {
        recorder.all.clear();
        ASSERT_TRUE(CreateDirectoryA((real + "\\data").c_str(), NULL)) << c.name;
        std::unique_ptr<UnixSymlink> install_link(new UnixSymlink(linked, real));
        std::unique_ptr<UnixSymlink> data_link;
        ASSERT_TRUE(install_link->made);
        TreeSnapshot elsewhere_before = SnapshotTree(elsewhere);
        TreeSnapshot decoy_before = SnapshotTree(decoy);
        bool acted = false;
        {
            NtFileHook hook([&](NtFileCall call, const std::wstring &wide) -> NTSTATUS {
                std::string name = NarrowName(wide);
                if (acted || call != c.call || name.compare(0, strlen(c.at), c.at) != 0)
                    return 0;
                acted = true;
                if (c.aim == kInstallation) {
                    install_link.reset();
                    install_link.reset(new UnixSymlink(linked, decoy));
                } else if (MoveAwayOnUnix(real + "\\data", real + "\\data.moved")) {
                    data_link.reset(new UnixSymlink(real + "\\data", elsewhere));
                }
                return 0;
            });
            ASSERT_TRUE(hook.hooked);
            StartPatchWorker(recorder.window(), linked.c_str());
            ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs)) << c.name;
        }
        EXPECT_TRUE(acted) << c.name << ": the stand-in never acted";
        EXPECT_EQ(SnapshotTree(elsewhere), elsewhere_before) << c.name;
        EXPECT_EQ(SnapshotTree(decoy), decoy_before) << c.name;
        EXPECT_EQ(recorder.LogLines().back(), c.complete ? "Patch complete." : "Patch failed.")
            << c.name;
        std::string bytes;
        EXPECT_TRUE(ReadWholeFile(real + "\\game.exe", &bytes) && bytes == "the studio's game")
            << c.name;
        EXPECT_EQ(ReadWholeFile(real + "\\data\\game.dat", &bytes) && bytes == "data",
                  c.complete)
            << c.name;
        EXPECT_FALSE(FolderExists(real + "\\" + kStagingFolderName)) << c.name;
        data_link.reset();
        install_link.reset();
        RemoveTree(real);
        ASSERT_TRUE(CreateDirectoryA(real.c_str(), NULL));
    }
}

TEST_F(PatchRunTest, TextsThatCannotBeSent)
{
    const struct {
        const char *name;
        SIZE_T fail_alloc;
        const char *fail_post;
        std::string dropped;
    } cases[] = {
        {"the copy cannot be allocated", sizeof("Updating..."), "", Status("Updating...")},
        {"the post fails", 0, "Searching for updates...", Log("Searching for updates...")},
    };
    SetManifest("12345\r\n");
    g_test_thread = GetCurrentThreadId();
    for (const auto &c : cases) {
        recorder.all.clear();
        g_fail_alloc_size = c.fail_alloc;
        g_fail_post_text = c.fail_post;
        {
            ImportHook alloc("kernel32.dll", "HeapAlloc", (void *)HeapAllocFailingOnce,
                             &g_real_heap_alloc);
            ImportHook post("user32.dll", "PostMessageA", (void *)CountingPost, &g_real_post);
            ASSERT_TRUE(alloc.real && post.real);
            Run();
        }
        g_fail_post_text.clear();
        Lines expected = Join({kStartSequence, {Log("No updates are available."), Num("result", 1)},
                               kEndSequence});
        expected.erase(std::find(expected.begin(), expected.end(), c.dropped));
        EXPECT_EQ(Trace(), expected) << c.name;
        EXPECT_FALSE(HeapHoldsTextCopy(c.dropped.substr(c.dropped.find(' ') + 1).c_str()))
            << c.name;
    }
}

TEST_F(PatchRunTest, TemporaryFilesThatCannotBeMade)
{
    // b is up to date, so that the second name is a's whatever runs at once.
    const Lines skipped = {"Error: unable to create a temporary file.", "Already up to date: b",
                           "Patch failed."};
    const Lines unchecked = {"Error: unable to create a temporary file.",
                             "Unable to check for updates."};
    const Lines no_folder = Join(
        {{"Error: unable to make the download folder patchtmp in the game folder."}, unchecked});
    const struct {
        const char *name;
        bool file_at_staging; // the staging folder cannot be made
        int name_fails_at;
        Lines log;
    } cases[] = {
        {"no staging folder", true, 0, no_folder},
        {"the manifest's", false, 1, unchecked},
        {"an entry's", false, 2, skipped},
    };
    SetManifest(Publish("a", "a") + Publish("b", "b"));
    for (const auto &c : cases) {
        recorder.all.clear();
        ASSERT_TRUE(WriteWholeFile(install + "\\b", "b"));
        if (c.file_at_staging) {
            ASSERT_TRUE(WriteWholeFile(staging, "a file where the folder goes"));
        }
        int names = 0;
        {
            NtFileHook name([&](NtFileCall call, const std::wstring &made) -> NTSTATUS {
                bool staged = call == kNtOpen && NarrowName(made).compare(0, 3, "BHP") == 0;
                return staged && ++names == c.name_fails_at ? (NTSTATUS)0xC0000022 : 0;
            });
            ASSERT_TRUE(name.hooked);
            Run();
        }
        DeleteFileA(staging.c_str());
        EXPECT_EQ(recorder.LogLines(), Join({{"Searching for updates..."}, c.log})) << c.name;
        EXPECT_EQ(Installed("a"), "<missing>") << c.name;
    }
}

// Each way the downloaded manifest can fail to be read: the file is closed
// and deleted (no temporary file is left), and the text buffer freed.
TEST_F(PatchRunTest, ManifestsThatCannotBeRead)
{
    SetManifest(Publish("a", "a"));
    const std::string text = objects["/latest/manifest.txt"];
    const struct {
        const char *name;
        int open_fails;
        bool size_unknown;
        bool no_memory;
        int read; // 0 normal, 1 short, 2 failed
        const char *error;
    } cases[] = {
        {"cannot be opened", 1, false, false, 0, "Error: unable to read update information."},
        {"size unknown", 0, true, false, 0, "Error: received invalid update information."},
        {"no memory", 0, false, true, 0, "Error: not enough memory to process updates."},
        {"short read", 0, false, false, 1, "Error: unable to process update information."},
        {"failed read", 0, false, false, 2, "Error: unable to process update information."},
    };
    g_test_thread = GetCurrentThreadId();
    for (const auto &c : cases) {
        recorder.all.clear();
        g_fail_alloc_size = c.no_memory ? text.size() + 1 : 0;
        g_spoil_read_of = c.read ? (DWORD)text.size() : 0;
        g_read_fails = c.read == 2;
        {
            ReadOpenHook open(staging, 0, c.open_fails);
            void *real_size = NULL;
            std::unique_ptr<ImportHook> size;
            if (c.size_unknown)
                size.reset(new ImportHook("kernel32.dll", "GetFileSize", (void *)UnknownFileSize,
                                          &real_size));
            ImportHook alloc("kernel32.dll", "HeapAlloc", (void *)HeapAllocFailingOnce,
                             &g_real_heap_alloc);
            ImportHook read("kernel32.dll", "ReadFile", (void *)SpoiledRead, &g_real_read);
            ASSERT_TRUE(alloc.real && read.real && (!size || size->real));
            Run();
        }
        EXPECT_EQ(recorder.LogLines(),
                  Lines({"Searching for updates...", c.error, "Unable to check for updates."}))
            << c.name;
        EXPECT_FALSE(HeapHoldsTextCopy(text.c_str())) << c.name << ": manifest text left";
        EXPECT_TRUE(objects_requested.size() == 1) << c.name;
        objects_requested.clear();
    }
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

// Downloads at once from the start, so that only the rule under test keeps
// the run as a one-at-a-time run would end.
struct AllConnections {
    AllConnections() { g_fetch_first_connections = kGaugeMaxConnections; }
    ~AllConnections() { g_fetch_first_connections = kGaugeFirstConnections; }
};

Lines UpdatedInOrder(int count, const char *end)
{
    Lines log = {"Searching for updates..."};
    for (int i = 0; i < count; i++) {
        log.push_back("Downloading f" + std::to_string(i));
        log.push_back("Updating f" + std::to_string(i));
    }
    log.push_back(end);
    return log;
}

// A server that turns away requests past 2 at once ends the run as it would
// one at a time: the downloads ahead it refuses are made again, unseen, and
// the reported entry's is made again alone. One that always refuses an entry
// still fails it after five attempts.
TEST_F(PatchRunTest, AServerThatCapsConnections)
{
    const int kFiles = 12;
    Lines failing = UpdatedInOrder(3, "Downloading f3");
    for (int i = 0; i < 5; i++) {
        if (i > 0)
            failing.push_back("Downloading f3");
        failing.push_back("Error: download failed with err, trying again... 801901f7");
    }
    failing.push_back("Error: exceeded maximum attempts, giving up.");
    failing.push_back("Patch failed.");
    const struct {
        const char *name;
        int most;        // connections at once it serves
        int retry_after; // -1: none
        bool refuse_f3;  // the server always answers 503 for f3
        Lines log;
    } cases[] = {
        {"503 past 2", 2, -1, false, UpdatedInOrder(kFiles, "Patch complete.")},
        {"503 past 1, Retry-After", 1, 1, false, UpdatedInOrder(kFiles, "Patch complete.")},
        {"503 past 1, f3 always", 1, -1, true, failing},
    };
    AllConnections all;
    for (const auto &c : cases) {
        recorder.all.clear();
        for (int i = 0; i < kFiles; i++)
            DeleteFileA((install + "\\f" + std::to_string(i)).c_str());
        std::string manifest;
        for (int i = 0; i < kFiles; i++)
            manifest += Publish("f" + std::to_string(i), "bytes of f" + std::to_string(i));
        SetManifest(manifest);
        bool refuse_f3 = c.refuse_f3;
        script = [refuse_f3](const std::string &object, HttpReply *reply) {
            if (object == "/latest/manifest.txt")
                return false;
            reply->pause_ms = 100; // downloads overlap
            if (refuse_f3 && object == "/latest/f3") {
                reply->status = 503;
                return true;
            }
            return false;
        };
        server->RefuseBeyond(c.most, c.retry_after);
        Run();
        server->RefuseBeyond(0);
        EXPECT_EQ(recorder.LogLines(), c.log) << c.name;
    }
    EXPECT_GT(server->Refused(), 0) << "the cap never acted";
}

// The free space of the installation's volume, as a test makes it: what it
// was at the start less what the installation has grown by since.
ULONGLONG g_free_at_start = 0, g_least_free = 0;
ULONGLONG g_tree_at_start = 0;
std::string g_disk_root;
std::mutex g_disk_lock;

ULONGLONG TreeBytes(const std::string &folder)
{
    ULONGLONG bytes = 0;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            bytes += TreeBytes(folder + "\\" + name);
        else
            bytes += ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow;
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return bytes;
}

BOOL WINAPI NearlyFullDisk(LPCSTR, PULARGE_INTEGER free_bytes, PULARGE_INTEGER total,
                           PULARGE_INTEGER total_free)
{
    std::lock_guard<std::mutex> guard(g_disk_lock);
    ULONGLONG grown = TreeBytes(g_disk_root) - g_tree_at_start;
    ULONGLONG now = grown < g_free_at_start ? g_free_at_start - grown : 0;
    g_least_free = now < g_least_free ? now : g_least_free;
    for (PULARGE_INTEGER out : {free_bytes, total, total_free})
        if (out)
            out->QuadPart = now;
    return TRUE;
}

// Six large files replace installed ones on a volume with room for one staged
// copy beside the installation: downloads ahead wait for room instead of
// taking it, so the volume never goes below the reserve, and the run ends as
// one at a time, also where one at a time fails for room.
TEST_F(PatchRunTest, ANearlyFullDisk)
{
    const int kFiles = 6;
    const size_t kFileBytes = 4 << 20;
    Lines no_room = {"Searching for updates..."};
    for (int i = 0; i < 5; i++) {
        no_room.push_back("Downloading f0");
        no_room.push_back("Error: download failed with err, trying again... 80070070");
    }
    no_room.push_back("Error: exceeded maximum attempts, giving up.");
    no_room.push_back("Patch failed.");
    const struct {
        const char *name;
        ULONGLONG room; // above the reserve
        Lines log;
        // Downloads made a second time at most, starting with the gauge's own
        // count (8 at once begin before any length is known); -1: all 8 at
        // once, not counted.
        int made_again;
    } cases[] = {
        {"room for one", kFileBytes + (2 << 20), UpdatedInOrder(kFiles, "Patch complete."), -1},
        // Seen here: none to two made again; room taken out of order makes
        // three or more.
        {"room for two", 2 * kFileBytes + (2 << 20), UpdatedInOrder(kFiles, "Patch complete."),
         2},
        {"room for none", kFileBytes / 2, no_room, -1},
    };
    AllConnections all;
    std::string manifest;
    for (int i = 0; i < kFiles; i++)
        manifest += Publish("f" + std::to_string(i), PseudoRandomBytes(kFileBytes, i));
    SetManifest(manifest);
    for (const auto &c : cases) {
        recorder.all.clear();
        for (int i = 0; i < kFiles; i++)
            ASSERT_TRUE(WriteWholeFile(install + "\\f" + std::to_string(i),
                                       PseudoRandomBytes(kFileBytes, 100 + i)));
        g_fetch_first_connections = c.made_again >= 0 ? kGaugeFirstConnections
                                                      : kGaugeMaxConnections;
        g_disk_root = install;
        g_tree_at_start = TreeBytes(install);
        g_free_at_start = g_least_free = kDownloadDiskReserveBytes + c.room;
        {
            void *real = NULL;
            ImportHook free_space("kernel32.dll", "GetDiskFreeSpaceExA", (void *)NearlyFullDisk,
                                  &real);
            ASSERT_TRUE(real);
            Run();
        }
        EXPECT_EQ(recorder.LogLines(), c.log) << c.name;
        EXPECT_GE(g_least_free, kDownloadDiskReserveBytes) << c.name << ": the reserve was used";
        // Room goes to the entries in order, and what a download under way
        // has written is not counted twice: with room for two, downloads
        // ahead are not taken back for the entry above them and made again.
        if (c.made_again >= 0) {
            std::map<std::string, int> made;
            for (const std::string &object : objects_requested)
                made[object]++;
            int again = 0;
            for (const auto &m : made)
                again += m.second - 1;
            EXPECT_LE(again, c.made_again) << c.name << ": " << ::testing::PrintToString(objects_requested);
        }
        objects_requested.clear();
    }
}

// Fetcher threads that cannot be made: the worker does the entry's work
// itself while none exists, whether none ever can be or one can later, and
// follows Cancel while it downloads.
decltype(&CreateThread) g_real_create_thread = NULL;
int g_fetchers_refused = 0; // fetchers refused from here on; -1: every one

HANDLE WINAPI FetcherlessCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                      LPTHREAD_START_ROUTINE start, LPVOID parameter,
                                      DWORD flags, LPDWORD id)
{
    // A fetcher is handed the run's state, which lives in the worker's frame.
    // The caller's frame lies just above this one on the same stack.
    char here = 0;
    UINT_PTR above = (UINT_PTR)parameter - (UINT_PTR)&here;
    bool fetcher = (UINT_PTR)parameter > (UINT_PTR)&here && above < (1u << 20);
    if (fetcher && g_fetchers_refused != 0) {
        if (g_fetchers_refused > 0)
            g_fetchers_refused--;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    return g_real_create_thread(security, stack, start, parameter, flags, id);
}

TEST_F(PatchRunTest, FetchersThatCannotBeMade)
{
    const struct {
        const char *name;
        int refused;
        bool cancel; // during f0's download
        Lines log;
    } cases[] = {
        {"no fetcher", -1, false, UpdatedInOrder(3, "Patch complete.")},
        {"the first one refused", 1, false, UpdatedInOrder(3, "Patch complete.")},
        {"no fetcher, Cancel", -1, true,
         {"Searching for updates...", "Downloading f0", "Patch cancelled."}},
    };
    std::string manifest;
    for (int i = 0; i < 3; i++)
        manifest += Publish("f" + std::to_string(i), "bytes of f" + std::to_string(i));
    SetManifest(manifest);
    for (const auto &c : cases) {
        recorder.all.clear();
        for (int i = 0; i < 3; i++)
            DeleteFileA((install + "\\f" + std::to_string(i)).c_str());
        StandInScope scope(objects);
        StandIn &stand_in = scope.stand_in;
        bool cancel = c.cancel;
        stand_in.hold = [cancel](const std::string &object, DWORD) {
            return cancel && object == "/latest/f0";
        };
        g_fetchers_refused = c.refused;
        {
            ImportHook thread("kernel32.dll", "CreateThread", (void *)FetcherlessCreateThread,
                              &g_real_create_thread);
            ASSERT_TRUE(thread.real);
            StartPatchWorker(recorder.window(), install.c_str());
            if (c.cancel) {
                ASSERT_TRUE(recorder.PumpUntil([&] { return stand_in.in_flight == 1; },
                                               kRunTimeoutMs));
                RequestCancel();
            }
            DWORD asked = GetTickCount();
            ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs)) << c.name << ": the run hangs";
            if (c.cancel) {
                EXPECT_LT(GetTickCount() - asked, 2000u) << c.name;
            }
        }
        ExpectCleanEnd();
        EXPECT_EQ(recorder.LogLines(), c.log) << c.name;
    }
}

// The reported download's percentages reach the window while it runs.
TEST_F(PatchRunTest, TheReportedDownloadShowsItsProgressWhileItRuns)
{
    SetManifest(Publish("a", "bytes of a"));
    StandInScope scope(objects);
    StandIn &stand_in = scope.stand_in;
    stand_in.midway = true;
    volatile bool seen = false;
    stand_in.hold = [&seen](const std::string &, DWORD) { return !seen; };
    StartPatchWorker(recorder.window(), install.c_str());
    EXPECT_TRUE(recorder.PumpUntil(
        [&] {
            for (const auto &n : recorder.Numbers())
                if (n == File(50))
                    return true;
            return false;
        },
        kStandInHoldMs / 2))
        << "50 was not shown while the download ran";
    seen = true;
    ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs));
    EXPECT_EQ(recorder.LogLines(),
              Lines({"Searching for updates...", "Downloading a", "Updating a", "Patch complete."}));
}

// Cancel while large installed files below the reported entry are checked
// (slowly: each read of a check takes a while) is seen within 2 s, on two
// cores (the fetchers check) and on one (the worker checks).
decltype(&ReadFile) g_real_slow_read = NULL;
DWORD g_test_reader = 0;

BOOL WINAPI SlowCheckRead(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED over)
{
    if (size == 4096 && GetCurrentThreadId() != g_test_reader)
        Sleep(20);
    return g_real_slow_read(file, buffer, size, got, over);
}

TEST_F(PatchRunTest, CancelDuringChecksOfLargeFiles)
{
    const int kBig = 8;
    std::string manifest = Publish("first", "first");
    for (int i = 0; i < kBig; i++) {
        std::string path = "big" + std::to_string(i);
        manifest += Publish(path, "new");
        ASSERT_TRUE(WriteWholeFile(install + "\\" + path, std::string(1 << 20, 'b')));
    }
    SetManifest(manifest);
    g_test_reader = GetCurrentThreadId();
    for (bool one_core : {false, true}) {
        recorder.all.clear();
        OneProcessor processors(one_core);
        StandInScope scope(objects);
        StandIn &stand_in = scope.stand_in;
        stand_in.hold = [](const std::string &object, DWORD) { return object == "/latest/first"; };
        ImportHook read("kernel32.dll", "ReadFile", (void *)SlowCheckRead, &g_real_slow_read);
        StartPatchWorker(recorder.window(), install.c_str());
        ASSERT_TRUE(recorder.PumpUntil([&] { return stand_in.in_flight == 1; }, kRunTimeoutMs));
        recorder.PumpUntil([] { return false; }, 300); // the checks are under way
        DWORD asked = GetTickCount();
        RequestCancel();
        ASSERT_TRUE(recorder.PumpUntilIdle(kRunTimeoutMs));
        DWORD latency_ms = GetTickCount() - asked;
        EXPECT_LT(latency_ms, 2000u) << (one_core ? "one core" : "two cores");
        EXPECT_EQ(recorder.LogLines().back(), "Patch cancelled.");
    }
}

} // namespace

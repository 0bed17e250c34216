#include "transfer/http_download.h"

#include "support/http_test_server.h"
#include "support/iat_patch.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kHost[] = "127.0.0.1";
const LONG kInvalidArg = (LONG)0x80070057;
const LONG kFail = (LONG)0x80004005;
const char kOldContent[] = "what was there before";

// WinINet opened with the configured proxy must reach the loopback server
// directly; a proxy left enabled by an interrupted test would be used.
class NoProxyEnvironment : public ::testing::Environment {
    void SetUp() override
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER,
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                          KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return;
        DWORD off = 0;
        RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, (const BYTE *)&off, sizeof(off));
        RegCloseKey(key);
    }
};
::testing::Environment *const g_no_proxy =
    ::testing::AddGlobalTestEnvironment(new NoProxyEnvironment);

// What the observer of one call saw. The tag tells a record from whatever
// else a wrong context might point at.
const DWORD kObservedTag = 0x0B5E47ED;
struct Observed {
    DWORD tag = kObservedTag;
    std::vector<int> percents;
    std::vector<LONG> completions;
    int progress_after_complete = 0;
    const char *path = NULL;       // the local file
    bool file_at_complete = false; // it existed when on_complete ran
};
int g_wrong_contexts = 0;

Observed *Seen(void *context)
{
    Observed *seen = (Observed *)context;
    if (seen && seen->tag == kObservedTag)
        return seen;
    g_wrong_contexts++;
    return NULL;
}

void RecordProgress(void *context, int percent)
{
    Observed *seen = Seen(context);
    if (!seen)
        return;
    if (!seen->completions.empty())
        seen->progress_after_complete++;
    seen->percents.push_back(percent);
}

void RecordComplete(void *context, LONG result)
{
    if (Observed *seen = Seen(context)) {
        seen->completions.push_back(result);
        seen->file_at_complete = seen->path && FileExists(seen->path);
    }
}

struct Outcome {
    LONG result;
    Observed seen;
    DWORD elapsed_ms;
};

// One download with a recording observer; checks what every call owes its
// observer: on_complete once, last, with the returned code and the context.
Outcome Download(unsigned short port, const std::string &object, const char *local_path,
                 DWORD limit_ms = 10000, const char *server = kHost,
                 const DownloadObserver *bounds = NULL)
{
    Outcome out;
    DownloadObserver observer = {RecordProgress, RecordComplete, &out.seen, NULL, 0, FALSE, NULL, NULL, NULL};
    if (bounds) {
        observer.cancel = bounds->cancel;
        observer.max_bytes = bounds->max_bytes;
        observer.exact_size = bounds->exact_size;
    }
    out.seen.path = local_path;
    g_wrong_contexts = 0;
    DWORD start = GetTickCount();
    out.result = HttpDownloadToFile(server, port, object.c_str(), local_path, limit_ms, &observer);
    out.elapsed_ms = GetTickCount() - start;
    EXPECT_EQ(g_wrong_contexts, 0) << object;
    EXPECT_EQ(out.seen.completions, std::vector<LONG>{out.result}) << object;
    EXPECT_EQ(out.seen.progress_after_complete, 0) << object;
    // The file is settled (a partial one deleted) before on_complete runs.
    EXPECT_EQ(out.seen.file_at_complete, local_path && FileExists(local_path)) << object;
    return out;
}

std::string Hex(LONG code)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08lX", (unsigned long)code);
    return text;
}

std::string FileContent(const std::string &path)
{
    std::string bytes;
    return ReadWholeFile(path, &bytes) ? bytes : "<no file>";
}

// True when no other handle holds the file: the downloader closed its own.
bool OpensExclusively(const std::string &path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

// Answers with the head and body, then closes, so that no connection is kept
// for the next case.
bool Answer(HttpTestConnection &peer, int status, std::vector<std::string> headers,
            const std::string &body)
{
    headers.push_back("Connection: close");
    peer.Send(ResponseHead(status, headers) + body);
    return false;
}

typedef BOOL(WINAPI *WriteFileFn)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);

std::string LengthHeader(size_t length) { return "Content-Length: " + std::to_string(length); }

TEST(HResultFromWin32Error, MapsEveryErrorToANegativeCode)
{
    const struct {
        DWORD error;
        DWORD expected;
    } cases[] = {
        {0, 0x80004005},          {2, 0x80070002},          {112, 0x80070070},
        {12002, 0x80072EE2},      {0x12345, 0x80072345},    {0x7FFFFFFF, 0x8007FFFF},
        {0x80092004, 0x80092004}, {0x80070005, 0x80070005}, {0xFFFFFFFF, 0xFFFFFFFF},
    };
    for (const auto &c : cases)
        EXPECT_EQ(HResultFromWin32Error(c.error), (LONG)c.expected) << "error " << c.error;
}

TEST(HttpDownloadToFile, OnlyA2xxStatusMakesAFile)
{
    HttpTestServer server([](HttpTestConnection &peer, const RecordedRequest &request) {
        int status = atoi(request.target.c_str() + 1);
        std::string body = "body of " + request.target;
        return Answer(peer, status, {LengthHeader(body.size())}, body);
    });
    ASSERT_TRUE(server.Listening());
    const struct {
        int status;
        DWORD expected;
    } cases[] = {
        {200, 0}, {203, 0}, {299, 0}, {199, 0x801900C7}, {300, 0x8019012C},
        {404, 0x80190194}, {500, 0x801901F4},
    };
    for (const auto &c : cases) {
        TempFolder temp;
        std::string object = "/" + std::to_string(c.status);
        std::string fresh = temp.Join("fresh.bin"), existing = temp.Join("existing.bin");
        ASSERT_TRUE(WriteWholeFile(existing, kOldContent));

        EXPECT_EQ(Download(server.Port(), object, fresh.c_str()).result, (LONG)c.expected)
            << c.status;
        EXPECT_EQ(Download(server.Port(), object, existing.c_str()).result, (LONG)c.expected)
            << c.status;
        if (c.expected == 0) {
            EXPECT_EQ(FileContent(fresh), "body of " + object) << c.status;
            EXPECT_EQ(FileContent(existing), "body of " + object) << c.status;
            EXPECT_TRUE(OpensExclusively(fresh)) << c.status;
        } else {
            EXPECT_FALSE(FileExists(fresh)) << c.status;
            EXPECT_EQ(FileContent(existing), kOldContent) << c.status;
        }
    }
}

TEST(HttpDownloadToFile, FollowsARedirectAndJudgesTheFinalStatus)
{
    HttpTestServer server([](HttpTestConnection &peer, const RecordedRequest &request) {
        if (request.target == "/moved")
            return Answer(peer, 302, {"Location: /final", LengthHeader(0)}, "");
        if (request.target == "/moved-away")
            return Answer(peer, 302, {"Location: /gone", LengthHeader(0)}, "");
        if (request.target == "/final")
            return Answer(peer, 200, {LengthHeader(5)}, "final");
        return Answer(peer, 404, {LengthHeader(0)}, "");
    });
    ASSERT_TRUE(server.Listening());
    TempFolder temp;
    std::string path = temp.Join("file.bin");

    EXPECT_EQ(Download(server.Port(), "/moved", path.c_str()).result, 0);
    EXPECT_EQ(FileContent(path), "final");
    EXPECT_EQ(Download(server.Port(), "/moved-away", path.c_str()).result, (LONG)0x80190194);
    EXPECT_EQ(FileContent(path), "final");

    std::vector<std::string> targets;
    for (const auto &request : server.Requests())
        targets.push_back(request.method + " " + request.target);
    EXPECT_EQ(targets, (std::vector<std::string>{"GET /moved", "GET /final", "GET /moved-away",
                                                 "GET /gone"}));
}

std::vector<int> Range(int from, int to)
{
    std::vector<int> values;
    for (int v = from; v <= to; v++)
        values.push_back(v);
    return values;
}

TEST(HttpDownloadToFile, BodyLengthDecidesResultAndProgress)
{
    const std::string ten_mib = PseudoRandomBytes(10 * 1024 * 1024, 7);
    const struct Case {
        const char *name;
        std::vector<std::string> headers;
        std::string sent;     // the body as it goes on the wire
        LONG expected;
        std::string file;     // what the local file holds after a success
        std::vector<int> percents;
    } cases[] = {
        {"chunked, no length", {"Transfer-Encoding: chunked"},
         ChunkedBody(PseudoRandomBytes(20000, 1), 3000), 0, PseudoRandomBytes(20000, 1), {}},
        {"empty body", {LengthHeader(0)}, "", 0, "", {}},
        {"connection closed at 600 of 1000", {LengthHeader(1000)}, std::string(600, 'c'),
         kDownloadCutShort, "", {60}},
        {"body ended at 600 of 1000", {LengthHeader(1000), "Transfer-Encoding: chunked"},
         ChunkedBody(std::string(600, 'e'), 600), kDownloadCutShort, "", {60}},
        {"1200 bytes for 1000", {LengthHeader(1000), "Transfer-Encoding: chunked"},
         ChunkedBody(std::string(1200, 'm'), 1200), 0, std::string(1200, 'm'), {100}},
        {"20000 bytes for 10000", {LengthHeader(10000), "Transfer-Encoding: chunked"},
         ChunkedBody(std::string(20000, 'n'), 20000), 0, std::string(20000, 'n'), {81, 100}},
        {"length 50", {LengthHeader(50)}, std::string(50, 'f'), 0, std::string(50, 'f'), {50}},
        {"length 150", {LengthHeader(150)}, std::string(150, 'h'), 0, std::string(150, 'h'),
         {100}},
        {"10 MiB", {LengthHeader(ten_mib.size())}, ten_mib, 0, ten_mib, Range(0, 100)},
        {"600 of 4 GiB and 100", {"Content-Length: 4294967396"}, std::string(600, 'g'),
         kDownloadCutShort, "", {0}},
    };
    // WinINet stops a plain body at its Content-Length, so more bytes than
    // announced reach the downloader only in a chunked body that also has one.
    for (const Case &c : cases) {
        HttpTestServer server([&c](HttpTestConnection &peer, const RecordedRequest &) {
            return Answer(peer, 200, c.headers, c.sent);
        });
        ASSERT_TRUE(server.Listening());
        TempFolder temp;
        std::string path = temp.Join("file.bin");
        ASSERT_TRUE(WriteWholeFile(path, kOldContent));

        Outcome out = Download(server.Port(), "/object", path.c_str());
        EXPECT_EQ(Hex(out.result), Hex(c.expected)) << c.name;
        EXPECT_EQ(out.seen.percents, c.percents) << c.name;
        if (c.expected == 0) {
            EXPECT_TRUE(FileContent(path) == c.file) << c.name << ": " << FileContent(path).size()
                                                      << " bytes";
        } else {
            EXPECT_FALSE(FileExists(path)) << c.name;
        }
    }
}

TEST(HttpDownloadToFile, TimeLimitBoundsTheCall)
{
    const DWORD kLimitMs = 1500;
    const DWORD kSlackMs = 1000;
    const struct Case {
        const char *name;
        DWORD limit_ms;
        HttpTestServer::Script script;
        bool succeeds;
        LONG expected; // 0: any negative code the platform gives
    } cases[] = {
        {"body trickles past the limit", kLimitMs,
         [](HttpTestConnection &peer, const RecordedRequest &) {
             peer.Send(ResponseHead(200, {LengthHeader(1000000)}));
             peer.Trickle(std::string(1000000, 't'), 1000, 50);
             return false;
         },
         false, kDownloadTimedOut},
        {"body trickles a byte at a time", kLimitMs,
         [](HttpTestConnection &peer, const RecordedRequest &) {
             peer.Send(ResponseHead(200, {LengthHeader(1000000)}));
             peer.Trickle(std::string(1000000, 't'), 1, 100);
             return false;
         },
         false, kDownloadTimedOut},
        {"a body that keeps its pace goes on past the limit", kLimitMs,
         [](HttpTestConnection &peer, const RecordedRequest &) {
             peer.Send(ResponseHead(200, {LengthHeader(40000 * 20)}));
             peer.Trickle(std::string(40000 * 20, 's'), 10000, 50);
             return false;
         },
         true, 0},
        {"a body of no announced length ends at the limit, whatever its pace", kLimitMs,
         [](HttpTestConnection &peer, const RecordedRequest &) {
             peer.Send(ResponseHead(200, {}));
             peer.Trickle(std::string(40000 * 20, 's'), 10000, 50);
             return false;
         },
         false, kDownloadTimedOut},
        {"no limit: a slow answer and a slow body", 0,
         [](HttpTestConnection &peer, const RecordedRequest &) {
             peer.Pause(kLimitMs + 500);
             peer.Send(ResponseHead(200, {LengthHeader(40000)}));
             peer.Trickle(std::string(40000, 's'), 1000, 50);
             return false;
         },
         true, 0},
        {"accepts and never answers", kLimitMs,
         [](HttpTestConnection &peer, const RecordedRequest &) {
             peer.Pause(20000);
             return false;
         },
         false, 0},
        {"body stalls", kLimitMs,
         [](HttpTestConnection &peer, const RecordedRequest &) {
             peer.Send(ResponseHead(200, {LengthHeader(1000)}) + std::string(100, 'b'));
             peer.Pause(20000);
             return false;
         },
         false, 0},
        {"head trickles", kLimitMs,
         [](HttpTestConnection &peer, const RecordedRequest &) {
             std::string head = ResponseHead(200, {LengthHeader(5), "X-Pad: " + std::string(400, 'p')});
             peer.Trickle(head + "slow!", 1, 20);
             return false;
         },
         false, kDownloadTimedOut},
        {"redirects for ever", kLimitMs,
         [](HttpTestConnection &peer, const RecordedRequest &request) {
             peer.Pause(20);
             return Answer(peer, 302, {"Location: " + request.target + "x", LengthHeader(0)}, "");
         },
         false, kDownloadTimedOut},
    };
    for (const Case &c : cases) {
        HttpTestServer server(c.script);
        ASSERT_TRUE(server.Listening());
        TempFolder temp;
        std::string path = temp.Join("file.bin");

        Outcome out = Download(server.Port(), "/slow", path.c_str(), c.limit_ms);
        std::string trace = std::string(c.name) + ": " + Hex(out.result);
        if (c.succeeds) {
            EXPECT_EQ(out.result, 0) << trace;
            EXPECT_GE(FileContent(path).size(), 40000u) << trace;
            EXPECT_GE(out.elapsed_ms, kLimitMs + 500) << trace;
            continue;
        }
        if (c.expected != 0) {
            EXPECT_EQ(Hex(out.result), Hex(c.expected)) << trace;
        }
        EXPECT_LT(out.result, 0) << trace;
        EXPECT_NE((DWORD)out.result & 0xFFFF0000, 0x80190000u) << trace;
        EXPECT_FALSE(FileExists(path)) << trace;
        EXPECT_GE(out.elapsed_ms + 50, c.limit_ms) << trace;
        EXPECT_LT(out.elapsed_ms, c.limit_ms + kSlackMs) << trace << " after " << out.elapsed_ms;
    }
}

// Sends body pieces as fast as the peer takes them until it goes away or the
// server stops.
void Flood(HttpTestConnection &peer)
{
    const std::string piece(64 * 1024, 'f');
    while (peer.Send(piece)) {
    }
}

// Counts what WriteFile stores, to see that nothing past a ceiling is written.
WriteFileFn g_counted_write;
ULONGLONG g_bytes_written;

BOOL WINAPI CountingWrite(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                          LPOVERLAPPED overlapped)
{
    BOOL ok = g_counted_write(file, bytes, size, written, overlapped);
    if (ok)
        g_bytes_written += *written;
    return ok;
}

// A ceiling ends the body at once, announced or received: a server that
// announces a huge length and sends fast cannot keep a download going.
TEST(HttpDownloadToFile, ACeilingHoldsTheBody)
{
    const ULONGLONG kMax = 1 << 20;
    const struct {
        const char *name;
        std::string length;   // Content-Length, "" for none
        bool flood;           // else a body of body_bytes
        size_t body_bytes;
        ULONGLONG max_bytes;
        BOOL exact;
        LONG expected;
        ULONGLONG max_written; // WriteFile bytes at most
    } cases[] = {
        {"huge length, sent fast", "1000000000000000", true, 0, kMax, FALSE, kDownloadTooLarge, 0},
        {"no length, sent fast", "", true, 0, kMax, FALSE, kDownloadTooLarge, kMax},
        {"no length, one byte past", "", false, kMax + 1, kMax, FALSE, kDownloadTooLarge, kMax},
        {"no length, the ceiling itself", "", false, kMax, kMax, FALSE, 0, kMax},
        {"below the ceiling", "1000", false, 1000, kMax, FALSE, 0, 1000},
        {"exact size, one byte short", "1000", false, 1000, 1001, TRUE, kDownloadTooLarge, 0},
        {"exact size, one byte more", "1002", false, 1002, 1001, TRUE, kDownloadTooLarge, 0},
        {"exact size met", "1001", false, 1001, 1001, TRUE, 0, 1001},
        {"exact size, no length, one byte short", "", false, 1000, 1001, TRUE, kDownloadCutShort,
         1000},
        {"exact size, no length, met", "", false, 1001, 1001, TRUE, 0, 1001},
        {"exact size 0, a body", "5", false, 5, 0, TRUE, kDownloadTooLarge, 0},
        {"exact size 0, empty", "0", false, 0, 0, TRUE, 0, 0},
    };
    for (const auto &c : cases) {
        HttpTestServer server(
            [&c](HttpTestConnection &peer, const RecordedRequest &) {
                std::vector<std::string> headers = {"Connection: close"};
                if (!c.length.empty())
                    headers.push_back("Content-Length: " + c.length);
                peer.Send(ResponseHead(200, headers));
                if (c.flood)
                    Flood(peer);
                else
                    peer.Send(std::string(c.body_bytes, 'b'));
                return false;
            },
            0, 15000);
        ASSERT_TRUE(server.Listening());
        TempFolder temp;
        std::string path = temp.Join("file.bin");
        DownloadObserver bounds = {NULL, NULL, NULL, NULL, c.max_bytes, c.exact, NULL, NULL, NULL};
        g_bytes_written = 0;
        Outcome out = {};
        {
            ImportHook count("kernel32.dll", "WriteFile", (void *)CountingWrite,
                             &g_counted_write);
            ASSERT_TRUE(g_counted_write);
            out = Download(server.Port(), "/bounded", path.c_str(), 10000, kHost, &bounds);
        }
        EXPECT_EQ(Hex(out.result), Hex(c.expected)) << c.name;
        EXPECT_LE(g_bytes_written, c.max_written) << c.name;
        EXPECT_EQ(FileExists(path), c.expected == 0) << c.name;
        EXPECT_LT(out.elapsed_ms, 3000u) << c.name;
    }
}

// Cancel ends a call within 2 s wherever it stands; the time limit is far off.
volatile LONG g_cancel;
DWORD g_cancelled_at;

void CancelNow()
{
    g_cancelled_at = GetTickCount();
    InterlockedExchange(&g_cancel, 1);
}

TEST(HttpDownloadToFile, CancelEndsTheCallWherever)
{
    const DWORD kPromptMs = 2000;
    // What a download that ends at once takes on this machine now: a loaded
    // one stretches the cancel's way out as much.
    DWORD baseline_ms = 0;
    {
        HttpTestServer quick([](HttpTestConnection &peer, const RecordedRequest &) {
            return Answer(peer, 200, {LengthHeader(2)}, "ok");
        });
        ASSERT_TRUE(quick.Listening());
        TempFolder temp;
        Outcome out = Download(quick.Port(), "/ok", temp.Join("ok.bin").c_str());
        ASSERT_EQ(out.result, 0);
        baseline_ms = out.elapsed_ms;
    }
    const struct {
        const char *name;
        HttpTestServer::Script script;
    } cases[] = {
        {"waiting for the head",
         [](HttpTestConnection &peer, const RecordedRequest &) {
             CancelNow();
             peer.Pause(20000);
             return false;
         }},
        {"the head trickles",
         [](HttpTestConnection &peer, const RecordedRequest &) {
             peer.Send("HTTP/1.1 200 OK\r\n");
             CancelNow();
             peer.Trickle("X-Pad: " + std::string(1000, 'p'), 1, 20);
             return false;
         }},
        {"a stalled body",
         [](HttpTestConnection &peer, const RecordedRequest &) {
             peer.Send(ResponseHead(200, {LengthHeader(1000)}) + std::string(100, 'b'));
             peer.Pause(300);
             CancelNow();
             peer.Pause(20000);
             return false;
         }},
        {"a fast body of 1 GB",
         [](HttpTestConnection &peer, const RecordedRequest &) {
             peer.Send(ResponseHead(200, {"Content-Length: 1000000000"}));
             peer.Send(std::string(4 << 20, 'f'));
             CancelNow();
             Flood(peer);
             return false;
         }},
    };
    for (const auto &c : cases) {
        HttpTestServer server(c.script, 0, 25000);
        ASSERT_TRUE(server.Listening());
        TempFolder temp;
        std::string path = temp.Join("file.bin");
        g_cancel = 0;
        DownloadObserver bounds = {NULL, NULL, NULL, &g_cancel, 0, FALSE, NULL, NULL, NULL};

        Outcome out = Download(server.Port(), "/cancel", path.c_str(), 20000, kHost, &bounds);
        DWORD after_ms = GetTickCount() - g_cancelled_at;

        EXPECT_EQ(Hex(out.result), Hex(kDownloadCancelled)) << c.name;
        EXPECT_FALSE(FileExists(path)) << c.name;
        EXPECT_LT(after_ms, kPromptMs + baseline_ms) << c.name;
        printf("%s: ended %lu ms after the cancel (a quick download %lu ms)\n", c.name,
               (unsigned long)after_ms, (unsigned long)baseline_ms);
    }
}

// A send given up on stays with its connection while the server keeps it
// going, and counts against the runners in use until it ends: downloads
// cancelled all at once leave no more of them than the bound, and past it a
// download waits for one to end instead of opening another.
TEST(HttpDownloadToFile, FewAbandonedSendsPileUp)
{
    const int kBound = 12;
    const int kAtOnce = kBound + 4;
    TempFolder temp;
    {
        // A head that trickles within every receive timeout keeps a send going.
        HttpTestServer trickling(
            [](HttpTestConnection &peer, const RecordedRequest &) {
                peer.Send("HTTP/1.1 200 OK\r\n");
                peer.Trickle("X-Pad: " + std::string(200, 'p'), 1, 100);
                return false;
            },
            0, 20000);
        ASSERT_TRUE(trickling.Listening());
        volatile LONG cancel = 0;
        std::vector<LONG> results(kAtOnce, 1);
        std::vector<std::thread> threads;
        for (int i = 0; i < kAtOnce; i++) {
            threads.emplace_back([&, i] {
                DownloadObserver bounds = {NULL, NULL, NULL, &cancel, 0, FALSE, NULL, NULL, NULL};
                std::string path = temp.Join("at once " + std::to_string(i));
                results[i] = HttpDownloadToFile(kHost, trickling.Port(), "/trickle", path.c_str(),
                                                15000, &bounds);
            });
        }
        // Time for every download to connect, were the bound not kept.
        for (DWORD start = GetTickCount();
             trickling.Connections() < kAtOnce && GetTickCount() - start < 1500;)
            Sleep(20);
        InterlockedExchange(&cancel, 1);
        for (std::thread &thread : threads)
            thread.join();
        for (int i = 0; i < kAtOnce; i++)
            EXPECT_EQ(Hex(results[i]), Hex(kDownloadCancelled)) << "download " << i;
        EXPECT_EQ(trickling.Connections(), kBound) << "connections past the bound";

        Outcome held_back =
            Download(trickling.Port(), "/trickle", temp.Join("held back").c_str(), 400);
        EXPECT_EQ(Hex(held_back.result), Hex(kDownloadTimedOut));
        EXPECT_EQ(trickling.Connections(), kBound) << "a connection past the bound";
    } // the server lets go: the abandoned sends end
    HttpTestServer server([](HttpTestConnection &peer, const RecordedRequest &) {
        return Answer(peer, 200, {LengthHeader(2)}, "ok");
    });
    ASSERT_TRUE(server.Listening());
    Outcome out = Download(server.Port(), "/ok", temp.Join("file.bin").c_str(), 5000);
    EXPECT_EQ(out.result, 0);
    EXPECT_LT(out.elapsed_ms, 2000u);
}

// The free space of the local file's volume, as a stand-in reports it: the
// first look sees first_free, every later one later_free.
typedef BOOL(WINAPI *FreeSpaceFn)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
ULONGLONG g_first_free, g_later_free;
int g_free_looks;
std::string g_free_folder;

BOOL WINAPI StandInFreeSpace(LPCSTR folder, PULARGE_INTEGER caller_free, PULARGE_INTEGER total,
                             PULARGE_INTEGER all_free)
{
    ULONGLONG free_bytes = g_free_looks++ == 0 ? g_first_free : g_later_free;
    g_free_folder = folder ? folder : "<null>";
    if (caller_free)
        caller_free->QuadPart = free_bytes;
    if (total)
        total->QuadPart = free_bytes * 2;
    if (all_free)
        all_free->QuadPart = free_bytes;
    return TRUE;
}

TEST(HttpDownloadToFile, KeepsAReserveOfFreeSpace)
{
    const ULONGLONG kReserve = kDownloadDiskReserveBytes;
    const size_t kBody = 12 << 20; // three looks while it is written
    const struct {
        const char *name;
        bool announced;
        ULONGLONG first_free, later_free;
        LONG expected;
        bool file_made;
    } cases[] = {
        {"room for the announced body", true, kReserve + kBody, kReserve + kBody, 0, true},
        {"a byte too few for it", true, kReserve + kBody - 1, kReserve + kBody, kDownloadDiskFull,
         false},
        {"the volume fills meanwhile", true, kReserve + kBody, kReserve, kDownloadDiskFull, true},
        {"no length, room for the next look", false, kReserve + (4 << 20), kReserve + (64 << 20),
         0, true},
        {"no length, the reserve reached", false, kReserve + (64 << 20), kReserve + 1000,
         kDownloadDiskFull, true},
    };
    for (const auto &c : cases) {
        HttpTestServer server([&c, kBody](HttpTestConnection &peer, const RecordedRequest &) {
            std::vector<std::string> headers;
            if (c.announced)
                headers.push_back(LengthHeader(kBody));
            return Answer(peer, 200, headers, std::string(kBody, 'd'));
        });
        ASSERT_TRUE(server.Listening());
        TempFolder temp;
        std::string path = temp.Join("file.bin");
        g_first_free = c.first_free;
        g_later_free = c.later_free;
        g_free_looks = 0;
        FreeSpaceFn real = NULL;
        Outcome out = {};
        {
            ImportHook free_space("kernel32.dll", "GetDiskFreeSpaceExA",
                                  (void *)StandInFreeSpace, &real);
            ASSERT_TRUE(real);
            out = Download(server.Port(), "/big", path.c_str());
        }
        EXPECT_EQ(Hex(out.result), Hex(c.expected)) << c.name;
        EXPECT_EQ(FileExists(path), c.expected == 0) << c.name;
        EXPECT_EQ(g_free_folder, temp.path + "\\") << c.name;
        EXPECT_EQ(out.seen.percents.empty(), !c.file_made || !c.announced) << c.name;
    }
}

TEST(HttpDownloadToFile, OnlyAReadableLengthOrNoneLetsTheBodyThrough)
{
    const LONG kUnreadable = HResultFromWin32Error(ERROR_HTTP_INVALID_HEADER);
    const std::string body(600, 'l');
    const struct {
        const char *header; // "" for none
        LONG expected;
    } cases[] = {
        {"", 0},
        {"Content-Length: 600", 0},
        {"Content-Length: 4294967296", kDownloadCutShort},
        {"Content-Length: 18446744073709551615", kDownloadDiskFull}, // no volume holds it
        {"Content-Length: 18446744073709551616", kUnreadable},
        {"Content-Length: 184467440737095516150", kUnreadable},
        {"Content-Length: six hundred", kUnreadable},
        {"Content-Length: 600x", kUnreadable},
    };
    for (const auto &c : cases) {
        HttpTestServer server([&](HttpTestConnection &peer, const RecordedRequest &) {
            std::vector<std::string> headers;
            if (c.header[0] != '\0')
                headers.push_back(c.header);
            return Answer(peer, 200, headers, body);
        });
        ASSERT_TRUE(server.Listening());
        TempFolder temp;
        std::string fresh = temp.Join("fresh.bin"), existing = temp.Join("existing.bin");
        ASSERT_TRUE(WriteWholeFile(existing, kOldContent));

        const std::string name = c.header[0] != '\0' ? c.header : "no Content-Length";

        Outcome out = Download(server.Port(), "/object", fresh.c_str());
        EXPECT_EQ(Hex(out.result), Hex(c.expected)) << name;
        EXPECT_EQ(FileContent(fresh), c.expected == 0 ? body : "<no file>") << name;
        if (c.expected == kUnreadable) {
            // Refused before the local file is made, as a bad status is.
            EXPECT_EQ(Download(server.Port(), "/object", existing.c_str()).result, c.expected)
                << name;
            EXPECT_EQ(FileContent(existing), kOldContent) << name;
            EXPECT_TRUE(out.seen.percents.empty()) << name;
        }
    }
}

// Slow platform calls before the body: the time limit counts from the start
// of the call and is tested before the first read.
const DWORD kSlowCallMs = 1700;
decltype(&InternetOpenA) g_unhurried_open;
decltype(&HttpSendRequestA) g_unhurried_send;
int g_body_reads = 0;
decltype(&InternetReadFile) g_uncounted_read;

HINTERNET WINAPI SlowOpen(LPCSTR agent, DWORD access, LPCSTR proxy, LPCSTR bypass, DWORD flags)
{
    Sleep(kSlowCallMs);
    return g_unhurried_open(agent, access, proxy, bypass, flags);
}

// Slow after the real call, so that the request handle is still open when it
// is used.
BOOL WINAPI SlowSend(HINTERNET request, LPCSTR headers, DWORD length, LPVOID data, DWORD size)
{
    BOOL sent = g_unhurried_send(request, headers, length, data, size);
    DWORD error = GetLastError();
    Sleep(kSlowCallMs);
    SetLastError(error);
    return sent;
}

BOOL WINAPI CountedRead(HINTERNET request, LPVOID buffer, DWORD size, LPDWORD got)
{
    g_body_reads++;
    return g_uncounted_read(request, buffer, size, got);
}

TEST(HttpDownloadToFile, TimeBeforeTheBodyCounts)
{
    HttpTestServer server([](HttpTestConnection &peer, const RecordedRequest &) {
        return Answer(peer, 200, {LengthHeader(5)}, "quick");
    });
    ASSERT_TRUE(server.Listening());
    const struct {
        const char *function;
        void *slow;
        void **real;
    } cases[] = {
        {"InternetOpenA", (void *)SlowOpen, (void **)&g_unhurried_open},
        {"HttpSendRequestA", (void *)SlowSend, (void **)&g_unhurried_send},
    };
    for (const auto &c : cases) {
        TempFolder temp;
        std::string path = temp.Join("file.bin");
        g_body_reads = 0;
        Outcome out = {};
        {
            ImportHook slow("wininet.dll", c.function, c.slow, c.real);
            ImportHook read("wininet.dll", "InternetReadFile", (void *)CountedRead,
                            &g_uncounted_read);
            ASSERT_TRUE(*c.real && g_uncounted_read);
            out = Download(server.Port(), "/quick", path.c_str(), kSlowCallMs - 500);
        }
        EXPECT_EQ(Hex(out.result), Hex(kDownloadTimedOut)) << c.function;
        EXPECT_EQ(g_body_reads, 0) << c.function;
        EXPECT_FALSE(FileExists(path)) << c.function;
    }
}

// Records the WinINet calls the downloader makes, passing them on.
struct WinInetLog {
    std::vector<HINTERNET> roots, connections, requests, closed;
    std::vector<std::string> options; // "<handle kind> <option>=<value>/<size>"
    // Options of the process (a null handle): "<option>=<value> after <n> roots".
    std::vector<std::string> process_options;
    std::vector<DWORD> request_flags;
    bool refuse_requests = false; // fail HttpOpenRequestA without a request
};
WinInetLog g_log;

decltype(&InternetOpenA) g_real_open;
decltype(&InternetConnectA) g_real_connect;
decltype(&HttpOpenRequestA) g_real_open_request;
decltype(&InternetSetOptionA) g_real_set_option;
decltype(&InternetCloseHandle) g_real_close;

HINTERNET WINAPI LoggedOpen(LPCSTR agent, DWORD access, LPCSTR proxy, LPCSTR bypass, DWORD flags)
{
    HINTERNET root = g_real_open(agent, access, proxy, bypass, flags);
    DWORD error = GetLastError();
    g_log.roots.push_back(root);
    SetLastError(error);
    return root;
}

HINTERNET WINAPI LoggedConnect(HINTERNET root, LPCSTR server, INTERNET_PORT port, LPCSTR user,
                               LPCSTR password, DWORD service, DWORD flags, DWORD_PTR context)
{
    HINTERNET connection =
        g_real_connect(root, server, port, user, password, service, flags, context);
    DWORD error = GetLastError();
    g_log.connections.push_back(connection);
    SetLastError(error);
    return connection;
}

HINTERNET WINAPI LoggedOpenRequest(HINTERNET connection, LPCSTR verb, LPCSTR object,
                                   LPCSTR version, LPCSTR referrer, LPCSTR *accept, DWORD flags,
                                   DWORD_PTR context)
{
    g_log.request_flags.push_back(flags);
    if (g_log.refuse_requests) {
        SetLastError(ERROR_INTERNET_INVALID_OPERATION);
        return NULL;
    }
    HINTERNET request =
        g_real_open_request(connection, verb, object, version, referrer, accept, flags, context);
    DWORD error = GetLastError();
    g_log.requests.push_back(request);
    SetLastError(error);
    return request;
}

BOOL WINAPI LoggedSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD size)
{
    if (!handle) {
        g_log.process_options.push_back(std::to_string(option) + "=" +
                                        std::to_string(*(DWORD *)buffer) + " after " +
                                        std::to_string(g_log.roots.size()) + " roots");
        return g_real_set_option(handle, option, buffer, size);
    }
    const char *kind = "other";
    if (!g_log.roots.empty() && handle == g_log.roots.back())
        kind = "root";
    else if (!g_log.connections.empty() && handle == g_log.connections.back())
        kind = "connection";
    g_log.options.push_back(std::string(kind) + " " + std::to_string(option) + "=" +
                            std::to_string(*(DWORD *)buffer) + "/" + std::to_string(size));
    return g_real_set_option(handle, option, buffer, size);
}

BOOL WINAPI LoggedClose(HINTERNET handle)
{
    g_log.closed.push_back(handle);
    return g_real_close(handle);
}

// Puts the logging functions into the test program's import table while the
// object lives.
struct WinInetLogging {
    WinInetLogging()
    {
        g_log = WinInetLog();
        g_real_open = (decltype(g_real_open))Patch("InternetOpenA", (void *)LoggedOpen);
        g_real_connect = (decltype(g_real_connect))Patch("InternetConnectA", (void *)LoggedConnect);
        g_real_open_request =
            (decltype(g_real_open_request))Patch("HttpOpenRequestA", (void *)LoggedOpenRequest);
        g_real_set_option =
            (decltype(g_real_set_option))Patch("InternetSetOptionA", (void *)LoggedSetOption);
        g_real_close = (decltype(g_real_close))Patch("InternetCloseHandle", (void *)LoggedClose);
    }
    ~WinInetLogging()
    {
        PatchImport("wininet.dll", "InternetOpenA", (void *)g_real_open);
        PatchImport("wininet.dll", "InternetConnectA", (void *)g_real_connect);
        PatchImport("wininet.dll", "HttpOpenRequestA", (void *)g_real_open_request);
        PatchImport("wininet.dll", "InternetSetOptionA", (void *)g_real_set_option);
        PatchImport("wininet.dll", "InternetCloseHandle", (void *)g_real_close);
    }
    static void *Patch(const char *function, void *replacement)
    {
        void *real = PatchImport("wininet.dll", function, replacement);
        EXPECT_NE(real, nullptr) << function;
        return real;
    }
};

// Handles closed in the order request, connection, root, each once.
std::vector<HINTERNET> ExpectedCloses()
{
    std::vector<HINTERNET> expected;
    for (const auto *opened : {&g_log.requests, &g_log.connections, &g_log.roots})
        for (HINTERNET handle : *opened)
            if (handle)
                expected.push_back(handle);
    return expected;
}

TEST(HttpDownloadToFile, SetsTheTimeoutsOnlyWithALimit)
{
    HttpTestServer server([](HttpTestConnection &peer, const RecordedRequest &) {
        return Answer(peer, 200, {LengthHeader(2)}, "ok");
    });
    ASSERT_TRUE(server.Listening());
    TempFolder temp;
    const struct {
        DWORD limit_ms;
        std::vector<std::string> options;
    } cases[] = {
        {0, {}},
        {2500,
         {"root 2=2500/4", "root 6=2500/4", "root 5=2500/4", "connection 2=2500/4",
          "connection 6=2500/4", "connection 5=2500/4"}},
    };
    for (const auto &c : cases) {
        WinInetLogging logging;
        EXPECT_EQ(Download(server.Port(), "/t", temp.Join("t.bin").c_str(), c.limit_ms).result, 0);
        EXPECT_EQ(g_log.options, c.options) << "limit " << c.limit_ms;
        EXPECT_EQ(g_log.closed, ExpectedCloses()) << "limit " << c.limit_ms;
    }
}

// Runs in a process of its own (a test entry of its own): the process's first
// download raises the connection limits before any other WinINet call, once.
TEST(FirstDownloadOfAProcess, RaisesTheConnectionLimitsFirst)
{
    HttpTestServer server([](HttpTestConnection &peer, const RecordedRequest &) {
        return Answer(peer, 200, {LengthHeader(2)}, "ok");
    });
    ASSERT_TRUE(server.Listening());
    TempFolder temp;
    WinInetLogging logging;
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(Download(server.Port(), "/ok", temp.Join("ok.bin").c_str()).result, 0) << i;
    EXPECT_EQ(g_log.roots.size(), 2u);
    EXPECT_EQ(g_log.process_options,
              (std::vector<std::string>{"73=8 after 0 roots", "74=8 after 0 roots",
                                        "103=8 after 0 roots"}));
}

TEST(HttpDownloadToFile, ClosesEveryHandleOnEveryPath)
{
    HttpTestServer server([](HttpTestConnection &peer, const RecordedRequest &request) {
        if (request.target == "/missing")
            return Answer(peer, 404, {LengthHeader(0)}, "");
        return Answer(peer, 200, {LengthHeader(2)}, "ok");
    });
    ASSERT_TRUE(server.Listening());
    RefusingPort refusing;
    TempFolder temp;
    const std::string file = temp.Join("file.bin");
    const std::string no_folder = temp.Join("no such folder\\file.bin");
    const struct {
        const char *name;
        unsigned short port;
        const char *object;
        const char *local_path;
        size_t handles; // root, connection and request opened
    } cases[] = {
        {"success", server.Port(), "/ok", file.c_str(), 3},
        {"status 404", server.Port(), "/missing", file.c_str(), 3},
        {"nothing listening", refusing.port, "/ok", file.c_str(), 3},
        {"local file not created", server.Port(), "/ok", no_folder.c_str(), 3},
        {"refused arguments", server.Port(), "", file.c_str(), 0},
    };
    for (const auto &c : cases) {
        WinInetLogging logging;
        Download(c.port, c.object, c.local_path);
        EXPECT_EQ(ExpectedCloses().size(), c.handles) << c.name;
        EXPECT_EQ(g_log.closed, ExpectedCloses()) << c.name;
    }
}

TEST(HttpDownloadToFile, OnlyPort443AsksForTls)
{
    const DWORD kPlain = 0x84480300, kTls = 0x84C80300;
    TempFolder temp;
    const struct {
        unsigned short port;
        DWORD flags;
    } cases[] = {{443, kTls}, {80, kPlain}, {8443, kPlain}, {442, kPlain}, {444, kPlain},
                 {1, kPlain}, {65535, kPlain}};
    for (const auto &c : cases) {
        WinInetLogging logging;
        g_log.refuse_requests = true; // nothing goes out to ports we do not own
        Outcome out = Download(c.port, "/x", temp.Join("x.bin").c_str());
        EXPECT_EQ(Hex(out.result), Hex(HResultFromWin32Error(ERROR_INTERNET_INVALID_OPERATION)));
        EXPECT_EQ(g_log.request_flags, std::vector<DWORD>{c.flags}) << "port " << c.port;
        EXPECT_EQ(g_log.closed, ExpectedCloses()) << "port " << c.port;
    }
}

TEST(HttpDownloadToFile, Port443SendsATlsHandshake)
{
    // A plain listener on 443 reads what the downloader sends first.
    HttpTestServer server([](HttpTestConnection &, const RecordedRequest &) { return false; },
                          443);
    if (!server.Listening())
        GTEST_SKIP() << "cannot listen on 127.0.0.1:443, WSA error " << server.ListenError();
    TempFolder temp;
    std::string path = temp.Join("file.bin");

    Outcome out = Download(443, "/latest/manifest.txt", path.c_str(), 5000);
    EXPECT_LT(out.result, 0) << Hex(out.result);
    EXPECT_FALSE(FileExists(path));
    ASSERT_GE(server.Connections(), 1);
    std::string hello = server.FirstBytes(0);
    ASSERT_GE(hello.size(), 6u);
    EXPECT_EQ((BYTE)hello[0], 0x16) << "TLS handshake record";
    EXPECT_EQ((BYTE)hello[1], 0x03) << "TLS major version";
    EXPECT_EQ((BYTE)hello[5], 0x01) << "ClientHello";
    EXPECT_TRUE(server.Requests().empty());
}

TEST(HttpDownloadToFile, SendsOnePlainGetWithTheAgentAndNoCookies)
{
    HttpTestServer server([](HttpTestConnection &peer, const RecordedRequest &) {
        return Answer(peer, 200, {LengthHeader(2), "Set-Cookie: served=1; Path=/"}, "ok");
    });
    ASSERT_TRUE(server.Listening());
    std::string origin = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    ASSERT_TRUE(InternetSetCookieA(origin.c_str(), "session", "planted"));
    TempFolder temp;
    const std::vector<std::string> objects = {"/latest/manifest.txt",
                                              "/latest/data/a+b;c=d?x=1&y=%41"};
    const std::vector<std::string> allowed = {"Host", "User-Agent", "Pragma", "Connection",
                                              "Cache-Control"};

    for (const auto &object : objects)
        EXPECT_EQ(Download(server.Port(), object, temp.Join("f.bin").c_str()).result, 0);

    std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), objects.size());
    for (size_t i = 0; i < objects.size(); i++) {
        const RecordedRequest &r = requests[i];
        EXPECT_EQ(r.request_line, "GET " + objects[i] + " HTTP/1.1");
        EXPECT_EQ(r.Header("User-Agent"), "BrackenholdPatcher") << objects[i];
        EXPECT_EQ(r.Header("Host"), "127.0.0.1:" + std::to_string(server.Port())) << objects[i];
        EXPECT_EQ(r.Header("Pragma"), "no-cache") << objects[i];
        EXPECT_EQ(r.Header("Connection"), "Keep-Alive") << objects[i];
        EXPECT_FALSE(r.HasHeader("Cookie")) << objects[i];
        for (const auto &header : r.headers) {
            bool known = false;
            for (const auto &name : allowed)
                known = known || lstrcmpiA(name.c_str(), header.first.c_str()) == 0;
            EXPECT_TRUE(known) << "unexpected header " << header.first;
        }
    }

    // The same request without the no-cookies flag carries the planted cookie,
    // so its absence above is the flag's doing.
    HINTERNET root = InternetOpenA("control", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    HINTERNET connection = InternetConnectA(root, kHost, server.Port(), NULL, NULL,
                                            INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestA(connection, "GET", "/control", NULL, NULL, NULL,
                                         INTERNET_FLAG_RELOAD, 0);
    EXPECT_TRUE(HttpSendRequestA(request, NULL, 0, NULL, 0));
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(root);
    requests = server.Requests();
    ASSERT_EQ(requests.size(), objects.size() + 1);
    EXPECT_NE(requests.back().Header("Cookie").find("session=planted"), std::string::npos);
}

TEST(HttpDownloadToFile, RefusesMissingArgumentsWithoutConnecting)
{
    HttpTestServer server([](HttpTestConnection &peer, const RecordedRequest &) {
        return Answer(peer, 200, {LengthHeader(2)}, "ok");
    });
    ASSERT_TRUE(server.Listening());
    TempFolder temp;
    const std::string path = temp.Join("existing.bin");
    ASSERT_TRUE(WriteWholeFile(path, kOldContent));
    const struct {
        const char *name;
        const char *server;
        const char *object;
        const char *local_path;
    } cases[] = {
        {"empty server", "", "/x", path.c_str()},
        {"null server", nullptr, "/x", path.c_str()},
        {"empty object", kHost, "", path.c_str()},
        {"null object", kHost, nullptr, path.c_str()},
        {"null local path", kHost, "/x", nullptr},
    };
    for (const auto &c : cases) {
        Observed seen;
        DownloadObserver observer = {RecordProgress, RecordComplete, &seen, NULL, 0, FALSE, NULL, NULL, NULL};
        LONG result =
            HttpDownloadToFile(c.server, server.Port(), c.object, c.local_path, 1000, &observer);
        EXPECT_EQ(Hex(result), Hex(kInvalidArg)) << c.name;
        EXPECT_EQ(seen.completions, std::vector<LONG>{kInvalidArg}) << c.name;
        EXPECT_TRUE(seen.percents.empty()) << c.name;
        EXPECT_EQ(HttpDownloadToFile(c.server, server.Port(), c.object, c.local_path, 1000,
                                     nullptr),
                  kInvalidArg)
            << c.name;
    }
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_EQ(FileContent(path), kOldContent);
}

TEST(HttpDownloadToFile, ObserverAndItsCallbacksAreOptional)
{
    HttpTestServer server([](HttpTestConnection &peer, const RecordedRequest &request) {
        if (request.target == "/missing")
            return Answer(peer, 404, {LengthHeader(0)}, "");
        return Answer(peer, 200, {LengthHeader(300)}, std::string(300, 'o'));
    });
    ASSERT_TRUE(server.Listening());
    TempFolder temp;
    std::string path = temp.Join("file.bin");
    const struct {
        const char *name;
        bool progress, complete;
    } cases[] = {{"no callbacks", false, false},
                 {"progress only", true, false},
                 {"completion only", false, true}};
    for (const auto &c : cases) {
        Observed seen;
        DownloadObserver observer = {c.progress ? RecordProgress : nullptr,
                                     c.complete ? RecordComplete : nullptr, &seen,
                                     NULL, 0, FALSE, NULL, NULL, NULL};
        EXPECT_EQ(HttpDownloadToFile(kHost, server.Port(), "/ok", path.c_str(), 5000, &observer),
                  0)
            << c.name;
        EXPECT_EQ(seen.percents, c.progress ? std::vector<int>{100} : std::vector<int>{})
            << c.name;
        EXPECT_EQ(seen.completions, c.complete ? std::vector<LONG>{0} : std::vector<LONG>{})
            << c.name;
    }
    EXPECT_EQ(HttpDownloadToFile(kHost, server.Port(), "/ok", path.c_str(), 5000, nullptr), 0);
    EXPECT_EQ(FileContent(path), std::string(300, 'o'));
    EXPECT_EQ(HttpDownloadToFile(kHost, server.Port(), "/missing", path.c_str(), 5000, nullptr),
              (LONG)0x80190194);
    EXPECT_EQ(FileContent(path), std::string(300, 'o'));
}

TEST(HttpDownloadToFile, NothingListeningGivesAPlatformCode)
{
    RefusingPort refusing;
    ASSERT_NE(refusing.port, 0);
    TempFolder temp;
    std::string fresh = temp.Join("fresh.bin"), existing = temp.Join("existing.bin");
    ASSERT_TRUE(WriteWholeFile(existing, kOldContent));
    const LONG own_codes[] = {kInvalidArg, kFail, kDownloadTimedOut, kDownloadCutShort};

    for (const std::string &path : {fresh, existing}) {
        Outcome out = Download(refusing.port, "/x", path.c_str(), 5000);
        EXPECT_LT(out.result, 0) << Hex(out.result);
        for (LONG own : own_codes)
            EXPECT_NE(out.result, own) << Hex(out.result);
        EXPECT_NE((DWORD)out.result & 0xFFFF0000, 0x80190000u) << Hex(out.result);
    }
    EXPECT_FALSE(FileExists(fresh));
    EXPECT_EQ(FileContent(existing), kOldContent);
}

TEST(HttpDownloadToFile, LocalFileThatCannotBeCreated)
{
    HttpTestServer server([](HttpTestConnection &peer, const RecordedRequest &) {
        return Answer(peer, 200, {LengthHeader(2)}, "ok");
    });
    ASSERT_TRUE(server.Listening());
    TempFolder temp;
    const std::string held = temp.Join("held.bin");
    ASSERT_TRUE(WriteWholeFile(held, kOldContent));
    HANDLE holder = CreateFileA(held.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const std::string no_folder = temp.Join("no such folder\\file.bin");
    const struct {
        const char *name;
        std::string path;
        DWORD expected;
    } cases[] = {
        {"folder missing", no_folder, 0x80070003},
        {"a folder", temp.path, 0x80070005},
        {"held open without sharing", held, 0x80070020},
        {"empty path", "", 0x80070003},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Hex(Download(server.Port(), "/ok", c.path.c_str()).result), Hex(c.expected))
            << c.name;
    CloseHandle(holder);

    EXPECT_EQ(server.Requests().size(), 4u) << "the file is made after the response";
    EXPECT_FALSE(FolderExists(temp.Join("no such folder")));
    EXPECT_TRUE(FolderExists(temp.path));
    EXPECT_EQ(FileContent(held), kOldContent);
}

// A disk that fills up: writes pass to the real file until capacity bytes
// have gone, the write that crosses it stores what fits and then fails.
WriteFileFn g_real_write;
DWORD g_disk_left;
bool g_short_write_succeeds; // a short write that reports success, last error 0

BOOL WINAPI FillingDiskWrite(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped)
{
    DWORD fits = size < g_disk_left ? size : g_disk_left;
    BOOL ok = g_real_write(file, bytes, fits, written, overlapped);
    if (!ok)
        return FALSE;
    g_disk_left -= *written;
    if (fits == size)
        return TRUE;
    SetLastError(g_short_write_succeeds ? 0 : ERROR_DISK_FULL);
    return g_short_write_succeeds ? TRUE : FALSE;
}

typedef HINTERNET(WINAPI *InternetOpenFn)(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD);
DWORD g_open_error;

HINTERNET WINAPI FailingOpen(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD)
{
    SetLastError(g_open_error);
    return NULL;
}

TEST(HttpDownloadToFile, FailedPlatformCallsGiveTheirMappedLastError)
{
    const std::string body = PseudoRandomBytes(100000, 3);
    HttpTestServer server([&body](HttpTestConnection &peer, const RecordedRequest &) {
        return Answer(peer, 200, {LengthHeader(body.size())}, body);
    });
    ASSERT_TRUE(server.Listening());
    const struct {
        const char *name;
        const char *function;
        DWORD error;   // the failing call's last error
        bool short_ok; // WriteFile only: short but successful
        DWORD expected;
    } cases[] = {
        {"disk full", "WriteFile", ERROR_DISK_FULL, false, 0x80070070},
        {"short write, no error", "WriteFile", 0, true, 0x80004005},
        {"root handle, no error", "InternetOpenA", 0, false, 0x80004005},
        {"root handle, out of memory", "InternetOpenA", ERROR_NOT_ENOUGH_MEMORY, false,
         0x80070008},
        {"root handle, negative error", "InternetOpenA", 0x80092004, false, 0x80092004},
    };
    for (const auto &c : cases) {
        TempFolder temp;
        std::string path = temp.Join("file.bin");
        ASSERT_TRUE(WriteWholeFile(path, kOldContent));
        bool write = lstrcmpA(c.function, "WriteFile") == 0;
        g_disk_left = 20000;
        g_short_write_succeeds = c.short_ok;
        g_open_error = c.error;
        void *real = write ? PatchImport("kernel32.dll", "WriteFile", (void *)FillingDiskWrite)
                           : PatchImport("wininet.dll", "InternetOpenA", (void *)FailingOpen);
        ASSERT_NE(real, nullptr) << c.name;
        if (write)
            g_real_write = (WriteFileFn)real;
        int connections = server.Connections();

        Outcome out = Download(server.Port(), "/big", path.c_str());
        PatchImport(write ? "kernel32.dll" : "wininet.dll", c.function, real);

        EXPECT_EQ(Hex(out.result), Hex(c.expected)) << c.name;
        EXPECT_EQ(server.Connections() - connections, write ? 1 : 0) << c.name;
        if (write) {
            EXPECT_FALSE(FileExists(path)) << c.name << ": the partial file stays";
        } else {
            EXPECT_EQ(FileContent(path), kOldContent) << c.name;
        }
    }
}

} // namespace

namespace {

// Downloads that share a line each get a share of it: with the run's byte
// count, the pace of a period is judged on what the run receives as a whole,
// so four downloads at a quarter of the line each still finish; each judged
// on its own bytes, they run out of time.
TEST(HttpDownloadToFile, APaceJudgedOnTheSharedLine)
{
    const int kDownloads = 4;
    const DWORD kLimitMs = 2000;     // a period must bring 128 KiB
    const DWORD kLineRate = 80 << 10; // 160 KiB a period for all, 40 KiB for each
    const std::string body(100 << 10, 'x');
    const struct {
        const char *name;
        bool shared;
        bool finish;
    } cases[] = {{"the run's bytes", true, true}, {"each its own bytes", false, false}};
    for (const auto &c : cases) {
        TempFolder temp;
        HttpTestServer server([&body](HttpTestConnection &peer, const RecordedRequest &) {
            peer.Send(ResponseHead(200, {"Content-Length: " + std::to_string(body.size()),
                                         "Connection: close"}) +
                      body);
            return false;
        });
        server.ShareLine(kLineRate);
        volatile LONGLONG line_bytes = 0;
        LONG results[kDownloads] = {};
        std::vector<std::thread> downloads;
        for (int i = 0; i < kDownloads; i++)
            downloads.emplace_back([&, i] {
                DownloadObserver observer = {NULL, NULL, NULL, NULL, 0, FALSE, NULL, NULL, NULL};
                observer.line_bytes = c.shared ? &line_bytes : NULL;
                std::string path = temp.Join("f" + std::to_string(i));
                results[i] = HttpDownloadToFile(kHost, server.Port(), "/f", path.c_str(), kLimitMs,
                                                &observer);
            });
        for (std::thread &download : downloads)
            download.join();
        for (int i = 0; i < kDownloads; i++)
            EXPECT_EQ(results[i] == 0, c.finish) << c.name << ": " << std::hex << results[i];
    }
}

} // namespace

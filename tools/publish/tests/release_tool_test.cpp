// End-to-end runs of the release tool on real folders. Built natively and
// for Windows; the names that Windows cannot hold are tested natively only.
#include "release_tool.h"
#include "scratch.h"
#include "site_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int code;
    ToolOutput output;
};

ToolRun Tool(const std::vector<std::string> &arguments)
{
    ToolRun run;
    run.code = RunReleaseTool(arguments, &run.output);
    return run;
}

ToolRun Publish(const fs::path &release, const fs::path &root, const std::string &id)
{
    return Tool({"publish", "--id", id, release.string(), root.string()});
}

ToolRun Verify(const fs::path &root) { return Tool({"verify", root.string()}); }

bool Has(const std::string &text, const std::string &piece)
{
    return text.find(piece) != std::string::npos;
}

// Everything under a folder: each entry's relative path with its content,
// or the target of a link; for telling whether a run changed anything.
void SnapshotInto(const fs::path &dir, const std::string &above,
                  std::map<std::string, std::string> *entries)
{
    std::vector<fs::path> found;
    std::string error;
    ASSERT_TRUE(ListFolder(dir, &found, &error)) << error;
    for (const fs::path &entry : found) {
        std::string name = above + entry.filename().generic_string();
        EntryKind kind = ClassifyEntry(entry);
        if (kind == EntryKind::kLink) {
            (*entries)[name] = "link to " + fs::read_symlink(entry).generic_string();
        } else if (kind == EntryKind::kFolder) {
            (*entries)[name] = "folder";
            SnapshotInto(entry, name + "/", entries);
        } else {
            (*entries)[name] = Get(entry);
        }
    }
}

std::map<std::string, std::string> Snapshot(const fs::path &dir)
{
    std::map<std::string, std::string> entries;
    SnapshotInto(dir, "", &entries);
    return entries;
}

TEST(Publish, WritesTheManifestSortedByPathBytes)
{
    Scratch scratch;
    fs::path release = scratch.dir / "release";
    Put(release / "check.txt", "123456789");
    Put(release / "Empty.bin", "");
    Put(release / "a b" / "x", "123456789");
    Put(release / "a.b", "");
    Put(release / "a0", "");
    Put(release / "a" / "c", "");

#ifndef _WIN32
    // Published under a umask that keeps everyone else out: the web server,
    // another user, must still read every file and enter every folder.
    mode_t umask_before = umask(077);
#endif
    ToolRun run = Publish(release, scratch.dir / "www", "r1");
#ifndef _WIN32
    umask(umask_before);
    for (const fs::path &path : {fs::path("www"), fs::path("www/releases"),
                                 fs::path("www/releases/r1"), fs::path("www/releases/r1/a b"),
                                 fs::path("www/releases/r1/a b/x"),
                                 fs::path("www/releases/r1/manifest.txt")}) {
        fs::perms mode = fs::status(scratch.dir / path).permissions();
        EXPECT_NE(mode & fs::perms::others_read, fs::perms::none) << path;
        if (fs::is_directory(scratch.dir / path)) {
            EXPECT_NE(mode & fs::perms::others_exec, fs::perms::none) << path;
        }
    }
#endif

    ASSERT_EQ(run.code, 0) << run.output.err;
    EXPECT_EQ(Get(scratch.dir / "www" / "latest" / "manifest.txt"),
              "0 Empty.bin\n"
              "3421780262 a b\\x\n"
              "0 a.b\n"
              "0 a0\n"
              "0 a\\c\n"
              "3421780262 check.txt\n");
    EXPECT_EQ(Get(scratch.dir / "www" / "releases" / "r1" / "a b" / "x"), "123456789");
    EXPECT_EQ(run.output.err, "");
}

struct Refusal {
    const char *label;
    std::vector<std::string> bad_files; // relative, '/' between folders
    const char *shown;                  // the name in the message
    const char *rule;                   // a piece of the rule in the message
};

void ExpectRefused(const Refusal &c, const std::function<void(const fs::path &)> &add = nullptr)
{
    Scratch scratch;
    fs::path root = scratch.dir / "www";
    fs::path good = scratch.dir / "good";
    Put(good / "game.exe", "game");
    ASSERT_EQ(Publish(good, root, "before").code, 0) << c.label;
    std::map<std::string, std::string> before = Snapshot(root);

    fs::path release = scratch.dir / "bad";
    Put(release / "game.exe", "new game");
    for (const std::string &name : c.bad_files)
        Put(release / name, "bytes");
    if (add)
        add(release);
    ToolRun run = Publish(release, root, "after");

    EXPECT_EQ(run.code, 1) << c.label;
    EXPECT_TRUE(Has(run.output.err, std::string("refused: ") + c.shown + ": "))
        << c.label << ":\n" << run.output.err;
    EXPECT_TRUE(Has(run.output.err, c.rule)) << c.label << ":\n" << run.output.err;
    EXPECT_TRUE(Has(run.output.err, "nothing published")) << c.label;
    EXPECT_EQ(run.output.out, "") << c.label;
    EXPECT_EQ(Snapshot(root), before) << c.label;
}

TEST(Publish, RefusesNamesThePatcherCannotInstallAndWritesNothing)
{
    const std::string deep = std::string(200, 'd') + "/" + std::string(200, 'e') + "/" +
                             std::string(110, 'f');
    const Refusal cases[] = {
        {"old suffix", {"save/Game.OLD"}, "save/Game.OLD", "ends in \".old\""},
        {"leading blank", {" lead.txt"}, " lead.txt", "begins with a blank"},
        {"server path", {deep}, deep.c_str(), "server path has 520 characters, more than 519"},
        {"manifest", {"manifest.txt"}, "manifest.txt", "place of the manifest"},
#ifndef _WIN32
        {"dot-dot", {"..\\x"}, "..\\x", "\"..\" component"},
        {"colon", {"dir/a:b.txt"}, "dir/a:b.txt", "contains ':'"},
        {"trailing blank", {"tail.txt "}, "tail.txt ", "ends with a blank"},
        {"leading tab", {"\tdir/x"}, "\\x09dir/x", "begins with a blank"},
        {"carriage return", {"a\rb"}, "a\\x0Db", "control byte 0x0D"},
        {"line feed", {"sub/a\nb"}, "sub/a\\x0Ab", "control byte 0x0A"},
        {"other control byte", {"a\x01"}, "a\\x01", "control byte 0x01"},
        {"backslash", {"a\\b.txt"}, "a\\b.txt", "folder separator"},
        {"wildcard", {"what?.txt"}, "what?.txt", "Windows does not allow"},
        {"device", {"con.txt"}, "con.txt", "opens as a device"},
        {"trailing dot", {"readme."}, "readme.", "ending in '.' or ' '"},
        {"folder with a trailing blank", {"dir /x.bin"}, "dir /x.bin", "ending in '.' or ' '"},
        {"outside ASCII", {"donn\xC3\xA9" "es/carte \xC3\xA9t\xC3\xA9.map"},
         "donn\xC3\xA9" "es/carte \xC3\xA9t\xC3\xA9.map", "outside ASCII"},
        {"case", {"Readme.txt", "README.TXT"}, "Readme.txt", "same name as \"README.TXT\""},
#endif
    };
    for (const Refusal &c : cases)
        ExpectRefused(c);
}

#ifndef _WIN32
TEST(Publish, RefusesLinksThatLeaveTheReleaseFolder)
{
    Scratch outside;
    Put(outside.dir / "secret.txt", "secret");
    const fs::path secret = outside.dir / "secret.txt";
    const fs::path outside_dir = outside.dir;
    ExpectRefused({"absolute link", {}, "leak", "points outside the release folder"},
                  [&](const fs::path &release) { fs::create_symlink(secret, release / "leak"); });
    ExpectRefused({"relative link", {}, "sub/up", "points outside the release folder"},
                  [&](const fs::path &release) {
                      fs::create_directories(release / "sub");
                      fs::create_directory_symlink("../..", release / "sub" / "up");
                  });
    ExpectRefused({"folder link", {}, "out", "points outside the release folder"},
                  [&](const fs::path &release) {
                      fs::create_directory_symlink(outside_dir, release / "out");
                  });
    ExpectRefused({"dangling link", {}, "gone", "leads nowhere"},
                  [&](const fs::path &release) { fs::create_symlink("missing", release / "gone"); });
    ExpectRefused({"loop", {}, "sub/loop", "to a folder that holds it"},
                  [&](const fs::path &release) {
                      fs::create_directories(release / "sub");
                      fs::create_directory_symlink("..", release / "sub" / "loop");
                  });
}

TEST(Publish, FollowsLinksThatStayInsideAsPlainFiles)
{
    Scratch scratch;
    fs::path release = scratch.dir / "release";
    Put(release / "docs" / "readme.txt", "read me");
    fs::create_symlink("docs/readme.txt", release / "readme.txt");
    fs::create_directory_symlink("docs", release / "alias");

    ToolRun run = Publish(release, scratch.dir / "www", "r1");

    ASSERT_EQ(run.code, 0) << run.output.err;
    fs::path latest = scratch.dir / "www" / "latest";
    EXPECT_TRUE(Has(Get(latest / "manifest.txt"), " alias\\readme.txt\n"));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(latest / "readme.txt")));
    EXPECT_EQ(Get(latest / "alias" / "readme.txt"), "read me");
}
#endif

TEST(Publish, WarnsOfPathsTooLongBelowLongInstallationFolders)
{
    Scratch scratch;
    fs::path release = scratch.dir / "release";
    std::string name = std::string(150, 'a') + "/" + std::string(119, 'b');
    Put(release / name, "x");

    ToolRun run = Publish(release, scratch.dir / "www", "r1");

    EXPECT_EQ(run.code, 0) << run.output.err;
    EXPECT_TRUE(Has(run.output.err, "warning: " + name + ": has 270 characters")) << run.output.err;
    EXPECT_TRUE(fs::exists(scratch.dir / "www" / "latest" / name));
}

// The modification time in whole seconds and the size: what nginx's ETag
// is made of, and what caches revalidate with.
std::string Validator(const fs::path &path)
{
    auto time = fs::last_write_time(path).time_since_epoch();
    return std::to_string(std::chrono::floor<std::chrono::seconds>(time).count()) + "-" +
           std::to_string(fs::file_size(path));
}

TEST(Publish, SecondReleaseSwitchesLatestAndLeavesTheFirstWhole)
{
    // Both publishes in one second, as a quick studio pipeline may run them.
    auto now = std::chrono::system_clock::now();
    std::this_thread::sleep_until(std::chrono::ceil<std::chrono::seconds>(now));
    Scratch scratch;
    fs::path root = scratch.dir / "www";
    fs::path release = scratch.dir / "release";
    const std::string big(3 * 1024 * 1024 + 5, 'z');
    Put(release / "a.txt", "one");
    Put(release / "data" / "big.bin", big);
    Put(release / "data" / "same.txt", "same");
    ASSERT_EQ(Publish(release, root, "v1").code, 0);
    std::map<std::string, std::string> first = Snapshot(root / "releases" / "v1");

    Put(release / "a.txt", "two");
    Put(release / "new.txt", "new");
    ToolRun second = Publish(release, root, "v2");

    ASSERT_EQ(second.code, 0) << second.output.err;
    EXPECT_TRUE(Has(second.output.out, "published release v2: 4 files")) << second.output.out;
    EXPECT_TRUE(Has(second.output.out, "2 copied, 2 linked")) << second.output.out;
    EXPECT_EQ(Snapshot(root / "releases" / "v1"), first);
    EXPECT_EQ(Get(root / "releases" / "v1" / "a.txt"), "one");
    EXPECT_EQ(Get(root / "latest" / "a.txt"), "two");
    EXPECT_EQ(Get(root / "latest" / "manifest.txt"), Get(root / "releases" / "v2" / "manifest.txt"));
    EXPECT_TRUE(fs::equivalent(root / "releases" / "v1" / "data" / "big.bin",
                               root / "releases" / "v2" / "data" / "big.bin"));
    // A changed file of the same size, and the manifest, never show an old
    // validator; a cache would otherwise keep serving the first release.
    for (const char *changed : {"a.txt", "manifest.txt"})
        EXPECT_NE(Validator(root / "releases" / "v2" / changed),
                  Validator(root / "releases" / "v1" / changed))
            << changed;
#ifndef _WIN32
    EXPECT_EQ(fs::read_symlink(root / "latest"), fs::path("releases/v2"));
#endif
    std::vector<fs::path> top;
    std::string error;
    ASSERT_TRUE(ListFolder(root, &top, &error)) << error;
    EXPECT_EQ(top.size(), 2u) << "temporary names left beside latest and releases";

    ToolRun verify = Verify(root);
    EXPECT_EQ(verify.code, 0) << verify.output.out << verify.output.err;
    EXPECT_TRUE(Has(verify.output.out, "verify: 4 entries; 0 missing, 0 changed, 0 unlisted"))
        << verify.output.out;
}

TEST(Publish, RefusesATakenIdAndAnEmptyRelease)
{
    Scratch scratch;
    fs::path root = scratch.dir / "www";
    Put(scratch.dir / "release" / "a.txt", "a");
    fs::create_directories(scratch.dir / "empty" / "folder");
    ASSERT_EQ(Publish(scratch.dir / "release", root, "v1").code, 0);
    std::map<std::string, std::string> before = Snapshot(root);

    ToolRun taken = Publish(scratch.dir / "release", root, "v1");
    ToolRun empty = Publish(scratch.dir / "empty", root, "v2");
    ToolRun bad_id = Publish(scratch.dir / "release", root, "../v3");

    EXPECT_EQ(taken.code, 1);
    EXPECT_TRUE(Has(taken.output.err, "release v1 exists already")) << taken.output.err;
    EXPECT_EQ(empty.code, 1);
    EXPECT_TRUE(Has(empty.output.err, "holds no files")) << empty.output.err;
    EXPECT_EQ(bad_id.code, 1);
    EXPECT_EQ(Snapshot(root), before);
}

// Two publishes into one web root at once, as a retried job with its ID or
// two jobs in one second with IDs from the time run them: they take turns,
// and latest ends showing one whole release.
TEST(Publish, TwoAtOnceLeaveAWholeLiveRelease)
{
    const struct {
        const char *label;
        const char *id; // empty: made from the time
        int published;
    } cases[] = {{"one ID", "v2", 1}, {"IDs from the time", "", 2}};
    for (const auto &c : cases) {
        Scratch scratch;
        fs::path root = scratch.dir / "www";
        fs::path folders[2] = {scratch.dir / "one", scratch.dir / "two"};
        const int kFiles = 300;
        for (int i = 0; i < kFiles; i++) {
            std::string name = "data/f" + std::to_string(i);
            Put(folders[0] / name, "one " + std::to_string(i % 3));
            Put(folders[1] / name, "two " + std::to_string(i % 5));
        }
        ASSERT_EQ(Publish(folders[1], root, "v1").code, 0) << c.label;
        auto now = std::chrono::system_clock::now();
        std::this_thread::sleep_until(std::chrono::ceil<std::chrono::seconds>(now));
        ToolRun runs[2];
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; i++) {
            std::vector<std::string> arguments = {"publish", folders[i].string(), root.string()};
            if (*c.id)
                arguments.insert(arguments.begin() + 1, {"--id", c.id});
            threads.emplace_back([&runs, i, arguments] { runs[i] = Tool(arguments); });
        }
        for (std::thread &thread : threads)
            thread.join();

        int published = (runs[0].code == 0) + (runs[1].code == 0);
        EXPECT_EQ(published, c.published)
            << c.label << ":\n" << runs[0].output.err << runs[1].output.err;
        ToolRun verify = Verify(root);
        EXPECT_EQ(verify.code, 0) << c.label << ":\n" << verify.output.out << verify.output.err;
        EXPECT_TRUE(Has(verify.output.out, "verify: 300 entries; 0 missing, 0 changed, 0 unlisted"))
            << c.label << ":\n" << verify.output.out;
    }
}

// A run stopped after writing its release but before the switch leaves it
// unshown; a retry with the same ID publishes it, and nothing half-made stays.
TEST(Publish, ARetryAfterAStoppedRunPublishes)
{
    Scratch scratch;
    fs::path root = scratch.dir / "www";
    Put(scratch.dir / "release" / "a.txt", "one");
    ASSERT_EQ(Publish(scratch.dir / "release", root, "v1").code, 0);
    fs::path releases = root / "releases";
    // What a publish of v2 leaves when stopped between its rename and its switch.
    Put(releases / "v2" / "a.txt", "half");
    Put(releases / ".unswitched-v2", "");
    Put(releases / ".incoming-v3-1-2" / "a.txt", "stopped earlier");
    Put(scratch.dir / "release" / "a.txt", "two");

    ToolRun retry = Publish(scratch.dir / "release", root, "v2");
    ToolRun again = Publish(scratch.dir / "release", root, "v1");

    ASSERT_EQ(retry.code, 0) << retry.output.err;
    EXPECT_EQ(Get(root / "latest" / "a.txt"), "two");
    EXPECT_EQ(again.code, 1) << "a release that was shown is never replaced";
    EXPECT_TRUE(Has(again.output.err, "release v1 exists already")) << again.output.err;
    std::vector<fs::path> entries;
    std::string error;
    ASSERT_TRUE(ListFolder(releases, &entries, &error)) << error;
    std::vector<std::string> names;
    for (const fs::path &entry : entries)
        names.push_back(entry.filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, std::vector<std::string>({".publish.lock", "v1", "v2"}));
}

TEST(Verify, NamesMissingChangedAndUnlistedFiles)
{
    Scratch scratch;
    fs::path root = scratch.dir / "www";
    fs::path release = scratch.dir / "release";
    Put(release / "keep.txt", "keep");
    Put(release / "data" / "gone.txt", "gone");
    Put(release / "data" / "edit.txt", "before");
    ASSERT_EQ(Publish(release, root, "v1").code, 0);
    fs::path latest = root / "latest";
    fs::remove(latest / "data" / "gone.txt");
    Put(latest / "data" / "edit.txt", "after");
    Put(latest / "extra.txt", "extra");
    Put(latest / "sub" / "more.bin", "more");

    ToolRun run = Verify(root);

    EXPECT_EQ(run.code, 1);
    const char *expected[] = {
        "missing: data\\gone.txt\n",
        "changed: data\\edit.txt: the manifest lists",
        "unlisted: extra.txt\n",
        "unlisted: sub/more.bin\n",
        "verify: 3 entries; 1 missing, 1 changed, 2 unlisted, 0 refused\n",
    };
    for (const char *line : expected)
        EXPECT_TRUE(Has(run.output.out, line)) << line << " not in:\n" << run.output.out;
    EXPECT_FALSE(Has(run.output.out, "keep.txt"));
}

TEST(Verify, RefusesUnsafeEntriesAndAMissingManifest)
{
    Scratch scratch;
    fs::path root = scratch.dir / "www";
    Put(scratch.dir / "secret.txt", "secret");
    Put(root / "latest" / "manifest.txt",
        "1 ..\\..\\secret.txt\n2 C:\\x\n3 readme.\n4 dir \\x.bin\n5 Game.old\n6 nul\n");

    ToolRun unsafe = Verify(root);
    ToolRun none = Verify(scratch.dir / "nowhere");

    EXPECT_EQ(unsafe.code, 1);
    EXPECT_TRUE(Has(unsafe.output.out, "refused: readme.: has a name ending in '.'")) << unsafe.output.out;
    EXPECT_TRUE(Has(unsafe.output.out, "0 missing, 0 changed, 0 unlisted, 6 refused")) << unsafe.output.out;
    EXPECT_EQ(none.code, 2);
    EXPECT_TRUE(Has(none.output.err, "cannot read")) << none.output.err;
}

TEST(ReleaseTool, RefusesCommandLinesItCannotUse)
{
    const std::vector<std::string> cases[] = {
        {}, {"publish"}, {"publish", "one"}, {"publish", "a", "b", "c"},
        {"publish", "--id"}, {"publish", "--force", "a", "b"}, {"verify"}, {"check", "x"},
    };
    for (const auto &arguments : cases) {
        ToolRun run = Tool(arguments);
        EXPECT_EQ(run.code, 2) << arguments.size() << " arguments";
        EXPECT_TRUE(Has(run.output.err, "usage:"));
    }
}

} // namespace

// Signing and checking releases with the Linux build of the release tool,
// with key pairs the test makes itself.
#include "release_tool.h"
#include "signed_statement.h"
#include "scratch.h"
#include "site_platform.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A new P-256 pair as <name>.pem (private) and <name>.pub.pem.
void MakeKeyPair(const fs::path &folder, const std::string &name)
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    ASSERT_NE(key, nullptr);
    std::FILE *secret = std::fopen((folder / (name + ".pem")).c_str(), "wb");
    std::FILE *open = std::fopen((folder / (name + ".pub.pem")).c_str(), "wb");
    ASSERT_TRUE(secret && open);
    EXPECT_TRUE(PEM_write_PrivateKey(secret, key, nullptr, nullptr, 0, nullptr, nullptr));
    EXPECT_TRUE(PEM_write_PUBKEY(open, key));
    std::fclose(secret);
    std::fclose(open);
    EVP_PKEY_free(key);
}

struct ToolRun {
    int code;
    ToolOutput output;
    std::string Text() const { return output.out + output.err; }
};

ToolRun Tool(const std::vector<std::string> &arguments)
{
    ToolRun run;
    run.code = RunReleaseTool(arguments, &run.output);
    return run;
}

uint64_t ReleaseNumber(const fs::path &root)
{
    std::string text = Get(root / "latest" / kSignedStatementName), body, error;
    Statement statement;
    std::vector<std::string> signatures;
    EXPECT_TRUE(ParseStatement(text, &statement, &body, &signatures, &error)) << error << text;
    return statement.release;
}

class Signing : public ::testing::Test {
protected:
    void SetUp() override
    {
        MakeKeyPair(scratch.dir, "studio");
        MakeKeyPair(scratch.dir, "other");
        Put(release / "a.txt", "alpha");
        Put(release / "data" / "b.bin", std::string(70000, 'b'));
    }

    ToolRun Publish(const std::string &id, const std::string &days = "30",
                    const std::vector<std::string> &keys = {"studio.pem"})
    {
        std::vector<std::string> command = {"publish", "--id", id, "--valid-days", days};
        for (const std::string &key : keys)
            command.insert(command.end(), {"--key", Key(key)});
        command.insert(command.end(), {release.string(), root.string()});
        return Tool(command);
    }

    ToolRun Verify(const std::string &public_key = "studio.pub.pem")
    {
        return Tool({"verify", "--key", Key(public_key), root.string()});
    }

    std::string Key(const std::string &name) { return (scratch.dir / name).string(); }

    Scratch scratch;
    fs::path release = scratch.dir / "release";
    fs::path root = scratch.dir / "www";
};

TEST_F(Signing, EveryPublishIsSignedWithAGreaterNumber)
{
    ToolRun first = Publish("r1");
    ASSERT_EQ(first.code, 0) << first.Text();
    ToolRun verified = Verify();
    EXPECT_EQ(verified.code, 0) << verified.Text();
    uint64_t before = ReleaseNumber(root);

    // While keys change, a release is signed with both: each key's patchers take it.
    Put(release / "a.txt", "alpha 2");
    ASSERT_EQ(Publish("r2", "30", {"other.pem", "studio.pem"}).code, 0);
    EXPECT_GT(ReleaseNumber(root), before);
    EXPECT_EQ(Verify().code, 0);
    EXPECT_EQ(Verify("other.pub.pem").code, 0);
    // The manifest stays as patchers without a key read it.
    EXPECT_EQ(Tool({"verify", root.string()}).code, 0);
}

TEST_F(Signing, ProblemsWithASignedReleaseAreFound)
{
    struct Case {
        const char *name;
        std::function<void(Signing *)> damage;
        const char *public_key;
        const char *days;
        const char *expected;
    };
    const fs::path latest = root / "latest";
    const Case cases[] = {
        {"same size, other bytes",
         [&](Signing *) { Put(latest / "a.txt", "alphA"); }, "studio.pub.pem", "30",
         "changed: a.txt: not the signed size and SHA-256"},
        {"statement cut short",
         [&](Signing *) {
             std::string text = Get(latest / kSignedStatementName);
             Put(latest / kSignedStatementName, text.substr(0, text.size() / 2));
         },
         "studio.pub.pem", "30", "unsigned: the statement does not end in a signature line"},
        {"signed lines changed",
         [&](Signing *) {
             std::string text = Get(latest / kSignedStatementName);
             text.replace(text.find("\nrelease ") + 9, 1, "2");
             Put(latest / kSignedStatementName, text);
         },
         "studio.pub.pem", "30", "unsigned: the signature does not hold"},
        {"another key", [&](Signing *) {}, "other.pub.pem", "30",
         "unsigned: the signature does not hold"},
        {"expired", [&](Signing *) {}, "studio.pub.pem", "0", "expired: "},
    };
    for (const Case &c : cases) {
        RemoveTree(root);
        ASSERT_EQ(Publish("r1", c.days).code, 0) << c.name;
        c.damage(this);
        ToolRun run = Verify(c.public_key);
        EXPECT_EQ(run.code, 1) << c.name << "\n" << run.Text();
        EXPECT_NE(run.Text().find(c.expected), std::string::npos) << c.name << "\n" << run.Text();
    }
}

TEST_F(Signing, KeysThatCannotSignRefuseThePublish)
{
    for (const char *key : {"studio.pub.pem", "missing.pem"}) {
        ToolRun run = Tool({"publish", "--key", Key(key), release.string(), root.string()});
        EXPECT_EQ(run.code, 1) << key;
        EXPECT_NE(run.Text().find("nothing published"), std::string::npos) << run.Text();
        EXPECT_FALSE(fs::exists(root)) << key << ": refused before anything is written";
    }
}

} // namespace

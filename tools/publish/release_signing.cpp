#include "release_signing.h"

#include "manifest_text.h"
#include "signed_statement.h"
#include "site_platform.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <system_error>

namespace {

const char kLatestFolder[] = "latest";
const char kManifestName[] = "manifest.txt";
const size_t kHalf = 32;       // bytes of r, of s, of a P-256 coordinate
const int64_t kSecondsPerDay = 86400;

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
typedef std::unique_ptr<EVP_PKEY, PkeyFree> Pkey;

struct MdCtxFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
typedef std::unique_ptr<EVP_MD_CTX, MdCtxFree> MdCtx;

struct SigFree {
    void operator()(ECDSA_SIG *signature) const { ECDSA_SIG_free(signature); }
};
typedef std::unique_ptr<ECDSA_SIG, SigFree> Sig;

// A P-256 key from a PEM file: the private one when want_private.
Pkey LoadKey(const fs::path &path, bool want_private, std::string *error)
{
    std::FILE *file = OpenFile(path, "rb");
    if (!file) {
        *error = "cannot read the key " + path.u8string();
        return Pkey();
    }
    Pkey key(want_private ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr)
                          : PEM_read_PUBKEY(file, nullptr, nullptr, nullptr));
    std::fclose(file);
    char group[64] = "";
    size_t length = 0;
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC ||
        !EVP_PKEY_get_group_name(key.get(), group, sizeof(group), &length) ||
        std::string(group) != "prime256v1") {
        *error = path.u8string() + " is not an ECDSA P-256 " +
                 (want_private ? "private" : "public") + " key in PEM form";
        return Pkey();
    }
    return key;
}

bool FileSha256(const fs::path &path, std::string *hex, uint64_t *size, std::string *error)
{
    std::FILE *file = OpenFile(path, "rb");
    MdCtx context(EVP_MD_CTX_new());
    bool ok = file && context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::vector<unsigned char> chunk(1 << 20);
    *size = 0;
    size_t got = 0;
    while (ok && (got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
        ok = EVP_DigestUpdate(context.get(), chunk.data(), got) == 1;
        *size += got;
    }
    ok = ok && !std::ferror(file);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    ok = ok && EVP_DigestFinal_ex(context.get(), digest, &digest_size);
    if (file)
        std::fclose(file);
    if (!ok)
        *error = "cannot read " + path.u8string();
    else
        *hex = HexOf(digest, digest_size);
    return ok;
}

// The signature as CNG takes it: r and s, each 32 bytes big-endian.
bool SignBody(EVP_PKEY *key, const std::string &body, unsigned char signature[64])
{
    MdCtx context(EVP_MD_CTX_new());
    size_t size = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size, (const unsigned char *)body.data(),
                       body.size()) != 1)
        return false;
    std::vector<unsigned char> der(size);
    if (EVP_DigestSign(context.get(), der.data(), &size, (const unsigned char *)body.data(),
                       body.size()) != 1)
        return false;
    const unsigned char *at = der.data();
    Sig sig(d2i_ECDSA_SIG(nullptr, &at, (long)size));
    return sig && BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), signature, kHalf) == (int)kHalf &&
           BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), signature + kHalf, kHalf) == (int)kHalf;
}

bool VerifyBody(EVP_PKEY *key, const std::string &body, const unsigned char signature[64])
{
    Sig sig(ECDSA_SIG_new());
    BIGNUM *r = BN_bin2bn(signature, kHalf, nullptr);
    BIGNUM *s = BN_bin2bn(signature + kHalf, kHalf, nullptr);
    if (!sig || !r || !s || !ECDSA_SIG_set0(sig.get(), r, s)) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char *der = nullptr;
    int size = i2d_ECDSA_SIG(sig.get(), &der);
    MdCtx context(EVP_MD_CTX_new());
    bool ok = size > 0 && context &&
              EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(context.get(), der, (size_t)size, (const unsigned char *)body.data(),
                               body.size()) == 1;
    OPENSSL_free(der);
    return ok;
}

fs::path EntryFile(const fs::path &folder, const std::string &path)
{
    fs::path file = folder;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '\\' && path[i] != '/')
            continue;
        if (i > start)
            file /= PathFromBytes(path.substr(start, i - start));
        start = i + 1;
    }
    return file;
}

// The release number of the statement in folder; 0 when there is none.
uint64_t ReleaseNumberIn(const fs::path &folder)
{
    std::string text, body, ignored;
    Statement statement;
    std::vector<std::string> signatures;
    if (folder.empty() || !ReadWholeFile(folder / kSignedStatementName, &text) ||
        !ParseStatement(text, &statement, &body, &signatures, &ignored))
        return 0;
    return statement.release;
}

std::string UtcText(uint64_t seconds)
{
    std::time_t time = (std::time_t)seconds;
    char text[32] = "?";
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&time));
    return text;
}

} // namespace

bool CheckSigningKey(const fs::path &private_key, std::string *error)
{
    return LoadKey(private_key, true, error) != nullptr;
}

bool WriteSignedStatement(const fs::path &folder, const fs::path &previous,
                          const std::vector<fs::path> &private_keys, int valid_days,
                          std::string *summary, std::string *error)
{
    std::vector<Pkey> keys;
    for (const fs::path &path : private_keys) {
        keys.push_back(LoadKey(path, true, error));
        if (!keys.back())
            return false;
    }
    std::string text;
    if (!ReadWholeFile(folder / kManifestName, &text)) {
        *error = "cannot read " + (folder / kManifestName).u8string();
        return false;
    }
    Statement statement;
    uint64_t now = (uint64_t)std::time(nullptr);
    // Above the last one, and above the clock: a web root made anew still
    // numbers its releases above those that installations have completed.
    statement.release = std::max(ReleaseNumberIn(previous) + 1, now);
    statement.expires = now + (uint64_t)valid_days * kSecondsPerDay;
    for (const ManifestLine &line : ReadManifest(text)) {
        std::string rule = ReservedNameRule(line.path);
        if (!rule.empty()) {
            *error = line.path + " " + rule;
            return false;
        }
        StatementEntry entry = {line.crc, 0, "", line.path};
        if (!FileSha256(EntryFile(folder, line.path), &entry.sha256, &entry.size, error))
            return false;
        statement.entries.push_back(entry);
    }
    std::string body = FormatStatementBody(statement);
    std::string whole = body;
    for (size_t i = 0; i < keys.size(); i++) {
        unsigned char signature[64];
        if (!SignBody(keys[i].get(), body, signature)) {
            *error = "signing with " + private_keys[i].u8string() + " failed";
            return false;
        }
        whole += SignatureLine(signature);
    }
    fs::path target = folder / kSignedStatementName;
    std::FILE *file = OpenFile(target, "wb");
    bool ok = file && std::fwrite(whole.data(), 1, whole.size(), file) == whole.size();
    if (file && std::fclose(file) != 0)
        ok = false;
    if (!ok) {
        *error = "cannot write " + target.u8string();
        return false;
    }
    // Never older than the manifest: caches tell versions apart by time and size.
    std::error_code code;
    fs::file_time_type manifest_time = fs::last_write_time(folder / kManifestName, code);
    if (!code && fs::last_write_time(target, code) < manifest_time && !code)
        fs::last_write_time(target, manifest_time, code);
    *summary = "signed release " + std::to_string(statement.release) + ", good until " +
               UtcText(statement.expires) + "\n";
    return true;
}

int VerifySignedRelease(const fs::path &root, const fs::path &public_key, ToolOutput *output)
{
    std::string error;
    Pkey key = LoadKey(public_key, false, &error);
    if (!key) {
        output->err += "error: " + error + "\n";
        return 2;
    }
    fs::path latest = root / kLatestFolder;
    std::string text, body, manifest_text;
    Statement statement;
    std::vector<std::string> signatures;
    if (!ReadWholeFile(latest / kSignedStatementName, &text)) {
        output->out += "unsigned: no " + std::string(kSignedStatementName) + " in latest\n";
        return 1;
    }
    if (!ParseStatement(text, &statement, &body, &signatures, &error)) {
        output->out += "unsigned: " + error + "\n";
        return 1;
    }
    bool holds = false;
    for (const std::string &signature : signatures)
        holds = holds || VerifyBody(key.get(), body, (const unsigned char *)signature.data());
    if (!holds) {
        output->out += "unsigned: the signature does not hold for " + public_key.u8string() + "\n";
        return 1;
    }
    size_t problems = 0;
    std::vector<ManifestLine> lines;
    if (ReadWholeFile(latest / kManifestName, &manifest_text))
        lines = ReadManifest(manifest_text);
    if (lines.size() != statement.entries.size()) {
        output->out += "differs: the manifest lists " + std::to_string(lines.size()) +
                       " entries, the statement " + std::to_string(statement.entries.size()) + "\n";
        problems++;
    }
    for (size_t i = 0; i < statement.entries.size(); i++) {
        const StatementEntry &entry = statement.entries[i];
        if (i < lines.size() && (lines[i].crc != entry.crc || lines[i].path != entry.path)) {
            output->out += "differs: manifest line " + std::to_string(i + 1) + " (" +
                           lines[i].path + ") is not the statement's entry " + entry.path + "\n";
            problems++;
        }
        std::string hex;
        uint64_t size = 0;
        if (!FileSha256(EntryFile(latest, entry.path), &hex, &size, &error)) {
            output->out += "missing: " + entry.path + "\n";
            problems++;
        } else if (size != entry.size || hex != entry.sha256) {
            output->out += "changed: " + entry.path + ": not the signed size and SHA-256\n";
            problems++;
        }
    }
    if ((uint64_t)std::time(nullptr) >= statement.expires) {
        output->out += "expired: the statement was good until " + UtcText(statement.expires) +
                       "; publish again\n";
        problems++;
    }
    output->out += "signed: release " + std::to_string(statement.release) + ", " +
                   std::to_string(statement.entries.size()) + " entries, good until " +
                   UtcText(statement.expires) + "; " + std::to_string(problems) + " problem(s)\n";
    return problems == 0 ? 0 : 1;
}

#include "signed_statement.h"

namespace {

const char kFormatLine[] = "signed-release 1\n";
const char kSignatureTag[] = "signature ";
const size_t kSignatureSize = 64;
const size_t kSha256HexDigits = 64;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Expect(const std::string &text, size_t *at, const std::string &what)
{
    if (text.compare(*at, what.size(), what) != 0)
        return false;
    *at += what.size();
    return true;
}

// 1 to 19 decimal digits, as the patcher reads them.
bool Number(const std::string &text, size_t *at, uint64_t *value)
{
    size_t start = *at;
    uint64_t number = 0;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9' && *at - start < 19)
        number = number * 10 + (uint64_t)(text[(*at)++] - '0');
    *value = number;
    return *at > start && !(*at < text.size() && text[*at] >= '0' && text[*at] <= '9');
}

bool Hex(const std::string &text, size_t *at, size_t digits)
{
    for (size_t i = 0; i < digits; i++, (*at)++)
        if (*at >= text.size() || HexDigit(text[*at]) < 0)
            return false;
    return true;
}

bool SameIgnoringCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? (char)(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? (char)(b[i] - 'A' + 'a') : b[i];
        if (x != y)
            return false;
    }
    return true;
}

bool ParseBody(const std::string &body, Statement *statement)
{
    size_t at = 0;
    statement->entries.clear();
    if (!Expect(body, &at, kFormatLine) || !Expect(body, &at, "release ") ||
        !Number(body, &at, &statement->release) || !Expect(body, &at, "\nexpires ") ||
        !Number(body, &at, &statement->expires) || !Expect(body, &at, "\n"))
        return false;
    while (at < body.size()) {
        StatementEntry entry;
        uint64_t crc = 0;
        size_t hash = 0;
        if (!Expect(body, &at, "entry ") || !Number(body, &at, &crc) || crc > 0xFFFFFFFFu ||
            !Expect(body, &at, " ") || !Number(body, &at, &entry.size) || !Expect(body, &at, " "))
            return false;
        hash = at;
        if (!Hex(body, &at, kSha256HexDigits) || !Expect(body, &at, " "))
            return false;
        size_t end = body.find('\n', at);
        if (end == std::string::npos || end == at)
            return false;
        entry.crc = (uint32_t)crc;
        entry.sha256 = body.substr(hash, kSha256HexDigits);
        entry.path = body.substr(at, end - at);
        statement->entries.push_back(entry);
        at = end + 1;
    }
    return true;
}

} // namespace

std::string HexOf(const unsigned char *bytes, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; i++) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 15];
    }
    return hex;
}

std::string FormatStatementBody(const Statement &statement)
{
    std::string body = kFormatLine;
    body += "release " + std::to_string(statement.release) + "\n";
    body += "expires " + std::to_string(statement.expires) + "\n";
    for (const StatementEntry &entry : statement.entries)
        body += "entry " + std::to_string(entry.crc) + " " + std::to_string(entry.size) + " " +
                entry.sha256 + " " + entry.path + "\n";
    return body;
}

std::string SignatureLine(const unsigned char signature[64])
{
    return kSignatureTag + HexOf(signature, kSignatureSize) + "\n";
}

bool ParseStatement(const std::string &text, Statement *statement, std::string *body,
                    std::vector<std::string> *signatures, std::string *error)
{
    signatures->clear();
    size_t body_size = text.size();
    while (body_size >= 2 && text[body_size - 1] == '\n') {
        size_t start = text.rfind('\n', body_size - 2);
        start = start == std::string::npos ? 0 : start + 1;
        size_t at = start;
        if (!Expect(text, &at, kSignatureTag) || !Hex(text, &at, 2 * kSignatureSize) ||
            at != body_size - 1)
            break;
        std::string signature;
        for (size_t i = 0; i < kSignatureSize; i++) {
            size_t digit = start + sizeof(kSignatureTag) - 1 + 2 * i;
            signature += (char)(HexDigit(text[digit]) * 16 + HexDigit(text[digit + 1]));
        }
        signatures->insert(signatures->begin(), signature);
        body_size = start;
    }
    if (signatures->empty() || body_size == 0) {
        *error = "the statement does not end in a signature line: cut short or damaged";
        return false;
    }
    *body = text.substr(0, body_size);
    if (!ParseBody(*body, statement)) {
        *error = "the statement's lines are damaged";
        return false;
    }
    return true;
}

std::string ReservedNameRule(const std::string &name)
{
    if (SameIgnoringCase(name, kSignedStatementName))
        return "would take the place of the signed release statement";
    if (SameIgnoringCase(name, kCompletedReleaseName))
        return "would take the place of the installation's release record";
    return "";
}

#include "manifest_text.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

} // namespace

std::string FormatManifest(const std::vector<ManifestLine> &lines)
{
    std::string text;
    for (const ManifestLine &line : lines)
        text += std::to_string(line.crc) + " " + line.path + "\n";
    return text;
}

std::vector<ManifestLine> ReadManifest(const std::string &text)
{
    std::vector<ManifestLine> lines;
    size_t end = text.find('\0');
    if (end == std::string::npos)
        end = text.size();
    size_t at = 0;
    while (at < end) {
        while (at < end && IsLineBreak(text[at]))
            at++;
        size_t line_end = at;
        while (line_end < end && !IsLineBreak(text[line_end]))
            line_end++;

        size_t i = at;
        while (i < line_end && IsBlank(text[i]))
            i++;
        uint32_t crc = 0;
        while (i < line_end && text[i] >= '0' && text[i] <= '9')
            crc = crc * 10u + (uint32_t)(text[i++] - '0');
        while (i < line_end && IsBlank(text[i]))
            i++;
        size_t path_end = line_end;
        while (path_end > i && IsBlank(text[path_end - 1]))
            path_end--;
        if (path_end > i)
            lines.push_back({crc, text.substr(i, path_end - i)});
        at = line_end;
    }
    return lines;
}

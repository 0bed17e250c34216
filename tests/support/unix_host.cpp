#include "support/unix_host.h"

#include "support/file_tree.h"
#include "support/temp_folder.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Wine's own exports; absent on Windows.
typedef LONG(CDECL *SpawnFn)(char *const argv[], int wait);
typedef char *(CDECL *UnixNameFn)(const WCHAR *dos_name);

} // namespace

int RunUnixProgram(const std::vector<std::string> &argv)
{
    SpawnFn spawn = (SpawnFn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                    "__wine_unix_spawnvp");
    if (!spawn || argv.empty())
        return -1;
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(NULL);
    // With wait set, Wine answers the exit status, or an NTSTATUS (negative
    // as a LONG) when the program could not be started.
    LONG status = spawn(args.data(), 1);
    return status < 0 ? -1 : (int)status;
}

std::vector<std::string> WineCommand(const std::string &unix_program,
                                     const std::vector<std::string> &environment)
{
    const char *loader = getenv("WINELOADER");
    if (!loader)
        return {};
    std::vector<std::string> argv = {"/usr/bin/env"};
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.push_back(loader);
    argv.push_back(unix_program);
    return argv;
}

std::string WindowsPathOfUnix(const std::string &unix_path)
{
    std::string path = "Z:" + unix_path;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::string UnixPathOf(const std::string &windows_path)
{
    UnixNameFn unix_name = (UnixNameFn)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                                              "wine_get_unix_file_name");
    if (!unix_name)
        return std::string();
    char *name = unix_name(WidePath(windows_path).c_str());
    if (!name)
        return std::string();
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

std::string WineDriveLinksFolder()
{
    // Drive C: is itself one of the links: ".../dosdevices/c:/".
    std::string drive_c = UnixPathOf("C:\\");
    const std::string tail = "/dosdevices/c:/";
    if (drive_c.size() <= tail.size() ||
        drive_c.compare(drive_c.size() - tail.size(), tail.size(), tail) != 0)
        return std::string();
    return drive_c.substr(0, drive_c.size() - 3);
}

bool OnSameFileSystem(const std::string &a, const std::string &b)
{
    std::string unix_a = UnixPathOf(a), unix_b = UnixPathOf(b);
    if (unix_a.empty() || unix_b.empty())
        return false;
    const char *same_device = "test \"$(stat -c %d \"$1\")\" = \"$(stat -c %d \"$2\")\"";
    return RunUnixProgram({"/bin/sh", "-c", same_device, "sh", unix_a, unix_b}) == 0;
}

namespace {

// The Unix path of a link that does not exist yet: its folder's path + name.
std::string UnixPathOfNewEntry(const std::string &windows_path)
{
    size_t cut = windows_path.find_last_of("\\/");
    if (cut == std::string::npos)
        return std::string();
    std::string folder = UnixPathOf(windows_path.substr(0, cut));
    if (folder.empty())
        return std::string();
    if (folder[folder.size() - 1] != '/')
        folder += '/';
    return folder + windows_path.substr(cut + 1);
}

// Removes a link itself (rm without -r never reaches what it points to).
void RemoveUnixLink(const std::string &unix_link)
{
    if (!unix_link.empty() && unix_link[0] == '/')
        RunUnixProgram({"/bin/rm", "-f", "--", unix_link});
}

} // namespace

UnixSymlink::UnixSymlink(const std::string &link_path, const std::string &target)
{
    std::string unix_target = UnixPathOf(target);
    std::string link = UnixPathOfNewEntry(link_path);
    if (unix_target.empty() || link.empty())
        return;
    // -n: fail rather than make the link inside an existing one.
    made = RunUnixProgram({"/bin/ln", "-sn", "--", unix_target, link}) == 0;
    if (made)
        unix_link = link;
}

UnixSymlink::~UnixSymlink() { RemoveUnixLink(unix_link); }

MappedDrive::MappedDrive()
{
    std::string links = WineDriveLinksFolder();
    if (links.empty())
        return;
    static LONG serial = 0;
    char name[MAX_PATH];
    snprintf(name, sizeof(name), "bhp-test-%lu-%lu-%ld", GetCurrentProcessId(), GetTickCount(),
             InterlockedIncrement(&serial));
    std::string candidate = std::string("Z:\\dev\\shm\\") + name;
    if (!CreateDirectoryA(candidate.c_str(), NULL))
        return;
    folder = candidate;
    std::string unix_folder = std::string("/dev/shm/") + name;

    DWORD in_use = GetLogicalDrives();
    for (char letter = 'y'; letter >= 'd'; letter--) {
        if (in_use & (1u << (letter - 'a')))
            continue;
        std::string link = links + letter + ":";
        // ln -n fails when the name exists, so a letter in use is never taken.
        if (RunUnixProgram({"/bin/ln", "-sn", "--", unix_folder, link}) != 0)
            continue;
        unix_link = link;
        root = std::string(1, (char)(letter - 'a' + 'A')) + ":\\";
        break;
    }
}

MappedDrive::~MappedDrive()
{
    RemoveUnixLink(unix_link);
    if (!folder.empty())
        RemoveTree(folder);
}

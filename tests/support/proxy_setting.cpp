#include "support/proxy_setting.h"

#include <windows.h>

#include <cstdio>

namespace {

const char kInternetSettings[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

} // namespace

ProxySetting::ProxySetting(int port)
    : old_enable_(0), had_enable_(false), had_server_(false)
{
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return;
    DWORD size = sizeof(old_enable_);
    had_enable_ = RegQueryValueExA(key, "ProxyEnable", NULL, NULL, (BYTE *)&old_enable_, &size) ==
                  ERROR_SUCCESS;
    char server[256] = {};
    size = sizeof(server) - 1;
    had_server_ =
        RegQueryValueExA(key, "ProxyServer", NULL, NULL, (BYTE *)server, &size) == ERROR_SUCCESS;
    old_server_ = server;

    DWORD enable = 1;
    char value[64];
    snprintf(value, sizeof(value), "127.0.0.1:%d", port);
    RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, (const BYTE *)&enable, sizeof(enable));
    RegSetValueExA(key, "ProxyServer", 0, REG_SZ, (const BYTE *)value, lstrlenA(value) + 1);
    RegCloseKey(key);
}

ProxySetting::~ProxySetting()
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS)
        return;
    if (had_enable_)
        RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, (const BYTE *)&old_enable_,
                       sizeof(old_enable_));
    else
        RegDeleteValueA(key, "ProxyEnable");
    if (had_server_)
        RegSetValueExA(key, "ProxyServer", 0, REG_SZ, (const BYTE *)old_server_.c_str(),
                       (DWORD)old_server_.size() + 1);
    else
        RegDeleteValueA(key, "ProxyServer");
    RegCloseKey(key);
}

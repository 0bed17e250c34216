#pragma once

#include <string>

// Points WinINet's configured proxy (HKCU Internet Settings, read at every
// InternetOpenA) at 127.0.0.1:port while the object lives, then restores it.
class ProxySetting {
public:
    explicit ProxySetting(int port);
    ~ProxySetting();

private:
    unsigned long old_enable_;
    bool had_enable_;
    std::string old_server_;
    bool had_server_;
};

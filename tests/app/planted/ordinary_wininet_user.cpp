// A program that imports WinINet the ordinary way, with no care for where
// the DLL comes from: the planted DLL beside it is loaded, which shows that
// the planting test can fail.
#include <windows.h>
#include <wininet.h>

int main()
{
    HINTERNET session = InternetOpenA("probe", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (session)
        InternetCloseHandle(session);
    return 0;
}

#pragma once

#include <windows.h>

// One patcher at a time per installation: two runs on one folder would share
// its staging folder, one sweeping what the other fetched. Keyed by the
// installation folder's volume serial number and file id, not its path, so
// that every name for one folder (a link, a short name, a drive mapped to it)
// is one key.
struct RunClaim {
    HANDLE mutex;           // held for the life of the process; NULL: none
    DWORD volume;           // the installation folder's identity, for the window
    DWORD index_high, index_low;
    int known;              // the identity could be read
};

// Claims the installation in install_dir for this process. Returns 0 when
// another patcher holds it: that one's window is brought forward, and this
// process should end. An identity that cannot be read claims nothing and
// returns 1 (the run goes on as before).
int ClaimInstallation(const char *install_dir, RunClaim *claim);

// Marks window as the claim's, for a second start to find.
void MarkClaimWindow(HWND window, const RunClaim *claim);
// Takes the marks off before the window goes.
void UnmarkClaimWindow(HWND window);

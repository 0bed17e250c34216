#pragma once

#include <windows.h>

// Starts game.exe through the shell and ends the message loop; asks first
// (retry, abort, launch anyway) when no run has brought the installation up
// to date. Window thread only.
void LaunchGame(HWND window);

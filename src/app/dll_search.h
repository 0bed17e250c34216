#pragma once

// Limits where the process looks for DLLs that are not yet loaded to the
// system folder, so that a DLL planted beside patch.exe (a folder ordinary
// users can often write to) is never loaded into the elevated process.
// Called first in WinMain, before any delay-loaded DLL is used.
void RestrictDllSearchToSystem();

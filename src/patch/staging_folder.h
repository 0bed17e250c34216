#pragma once

#include <windows.h>

// Where downloads wait between their download and their move: the folder
// kStagingFolderName (path_rules.h) in the installation folder, on the
// installation's own volume, so that every move is a rename. The patcher runs
// elevated, and the game folder is often writable by every program the
// player runs: this folder is made new by each run, with an access list
// given at its creation (the administrators and the system only, nothing
// taken from the game folder), and held against renames and deletion while
// the run uses it. A folder found at its name is never taken over: another
// program may have made it and still hold a handle through which it can
// change it.
//
// OpenStagingFolder and CloseStagingFolder run on the worker thread, before
// and after every file of a run is made; MakeStagedFile and DropStagedFile
// may run on any thread in between, any number at once.

// Makes the folder in install, a held installation folder. A folder that a
// run cut off left there (holding nothing but BHP*.tmp files) is emptied and
// removed first; anything else at the name (a file, a link, a folder holding
// other things, or one held open by another program) is refused and stays.
// Returns 1 when the folder is ready.
int OpenStagingFolder(HANDLE install);

// Makes a new empty file BHP*.tmp in the folder held, opened for reading,
// writing and its move, shared with nobody; *file receives the handle. 0
// when no folder is held or no name could be made.
int MakeStagedFile(HANDLE *file);

// Deletes a staged file through its handle and closes it.
void DropStagedFile(HANDLE file);

// Lets the folder go, removing it when nothing is left in it.
void CloseStagingFolder();

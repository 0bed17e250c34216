#pragma once

#include <windows.h>

// Where downloads wait between their download and their move: the folder
// kStagingFolderName (path_rules.h) in the installation folder, on the
// installation's own volume, so that every move is a rename. The patcher runs
// elevated, and the game folder and the user's temporary folder are often
// writable by every program the player runs: this folder is owned by the
// administrators, written by them and the system only, and held open against
// renames and deletion while a run uses it, so that no program without
// elevation can change a download after its check or redirect a name that the
// patcher creates, deletes or moves in it.
//
// OpenStagingFolder and CloseStagingFolder run on the worker thread, before
// and after every file of a run is made; MakeStagedFile may run on any
// thread in between, any number at once.

// Makes the folder, or takes over a real folder found at its name (its owner
// and access list are set anew, for it alone), holds it, and deletes the
// BHP*.tmp files that a run cut off left in it. Refuses a file or a link
// (junction, symbolic link, mount point) at that name, and a folder holding a
// link under a BHP*.tmp name. Returns 1 when the folder is ready.
int OpenStagingFolder(const char *install_dir);

// Makes a new empty file BHP*.tmp in the folder held and writes its full name
// into buffer (capacity bytes). 0 when no folder is held or the name does not
// fit.
int MakeStagedFile(char *buffer, int capacity);

// Lets the folder go, removing it when nothing is left in it.
void CloseStagingFolder();

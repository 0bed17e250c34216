#pragma once

#include <windows.h>

// The elevated run acts only through handles it holds, never through a name
// looked up again: a folder where players may write can have any name in it
// re-aimed (a junction, a mount point, a folder renamed away and replaced)
// between two calls. So the installation folder is opened once, and
// everything below it is reached one name at a time relative to a held
// folder, without following a link, and moved or deleted through its own
// handle. Names are single components in the ANSI code page.

// Held folders are opened with listing and traversal, rights that take part
// in share checks, and without delete sharing: nobody can rename or delete a
// held folder, nor one above it, while it is held.

// Opens the installation folder to hold for a run, following a link there
// (the administrator's choice of where the game lives).
HANDLE HoldInstallationFolder(const char *path);

// Opens name in folder without following a link there, as NtCreateFile with
// folder as its root (disposition FILE_OPEN, FILE_CREATE...; options
// FILE_DIRECTORY_FILE...; security given to what it makes, NULL for none).
// INVALID_HANDLE_VALUE on failure, with the Win32 error set
// (ERROR_ALREADY_EXISTS when FILE_CREATE finds the name taken). A name with a
// separator, a wildcard, or none at all is refused.
HANDLE OpenInFolder(HANDLE folder, const char *name, ACCESS_MASK access, ULONG share,
                    ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security);

// OpenInFolder, refusing what it opened unless that is a plain file or
// folder: not a link of any kind (a symbolic link, junction or mount point,
// or a reparse point the system does not describe), by its tag and as folder
// lists it (all that Wine shows), and the very file that folder lists under
// that name. A refused handle is closed, with ERROR_CANT_ACCESS_FILE set.
HANDLE OpenPlainInFolder(HANDLE folder, const char *name, ACCESS_MASK access, ULONG share,
                         ULONG disposition, ULONG options);

// Holds the folder name in folder, making it first when make; refuses a file
// or a link there. INVALID_HANDLE_VALUE on failure.
HANDLE HoldFolderIn(HANDLE folder, const char *name, int make);

// Renames file (opened with DELETE) to name in folder, over what stands
// there when replace (a link there is replaced, never followed). Returns 1 on
// success, 0 with the Win32 error set.
int RenameInto(HANDLE file, HANDLE folder, const char *name, int replace);

// Deletes the file or empty folder through its handle (opened with DELETE);
// it goes when the last handle to it closes.
int DeleteThrough(HANDLE file);

// Calls visit for every entry of folder (the handle's own listing, "." and
// ".." left out) with its ANSI name and attributes, until visit returns 0.
typedef int (*FolderVisitor)(void *context, HANDLE folder, const char *name, DWORD attributes);
void VisitFolder(HANDLE folder, FolderVisitor visit, void *context);

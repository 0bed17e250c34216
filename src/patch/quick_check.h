#pragma once

#include "patch/manifest.h"
#include "patch/signed_release.h"

#include <windows.h>

// The quick check, a build option: a run keeps a record of every entry it
// found up to date or installed (its name, its listed checksums and what the
// file system says of the file), and the next run takes an entry whose
// listing and file-system facts match the record as up to date without
// reading the file. The record lies in kQuickCheckFolderName (path_rules.h),
// a folder of the installation that only administrators and the system can
// change, and is replaced whole at the end of every run that checked entries,
// holding only what that run confirmed.
//
// Threads: UseQuickCheck and RequestFullCheck run on the window thread while
// no run is in progress; BeginQuickCheck, ConfirmEntry and FinishQuickCheck
// on the worker; CheckEntryWithRecord on any thread of the run, between
// BeginQuickCheck and FinishQuickCheck, once per entry.

// Whether runs keep and use the record: the build's choice, set before the
// first run. Off, every call below changes nothing and reads nothing.
void UseQuickCheck(int enabled);

// The next run that checks entries reads every file in full (and records
// what it found).
void RequestFullCheck();

// Loads the installation's record, if one can be trusted, for a run over
// manifest (and, with a key, its signed entries, parallel to it); then takes
// it off the disk, so that a run cut off leaves none.
void BeginQuickCheck(const char *install_dir, const UpdateManifest *manifest,
                     const SignedEntry *signed_entries);

// Reads the file in full: whether entry index's file is up to date.
typedef bool (*FullCheckFn)(const void *context, DWORD index, const char *file);

// Whether entry index's file is up to date: true at once when the record
// vouches for it, else full_check(context, index, file).
bool CheckEntryWithRecord(DWORD index, const char *file, FullCheckFn full_check,
                          const void *context);

// The run reported entry index up to date (installed NULL) or installed it
// at installed, which is then read once more to be recorded.
void ConfirmEntry(DWORD index, const char *installed);

// Once no other thread of the run is left: writes the record of what the run
// confirmed, and lets everything go.
void FinishQuickCheck();

#pragma once

#include <windows.h>

// Replaces the test program's own import of dll!function with replacement and
// returns the previous entry, or NULL when the program does not import it.
// The product code linked into the program calls through the same table, so
// this makes a platform call fail for real without a test-only branch.
void *PatchImport(const char *dll, const char *function, void *replacement);

// Makes HeapAlloc fail from its nth call on (1 = the next call) while armed.
// Calls before that one, and every call while disarmed, pass through.
void ArmHeapAllocFailure(int nth);
void DisarmHeapAllocFailure();
int HeapAllocCallsSinceArmed();

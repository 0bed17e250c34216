#pragma once

#include <windows.h>

// Replaces the test program's own import of dll!function with replacement and
// returns the previous entry, or NULL when the program does not import it.
// The product code linked into the program calls through the same table, so
// this makes a platform call fail for real without a test-only branch.
void *PatchImport(const char *dll, const char *function, void *replacement);

// PatchImport for as long as the hook lives; *real_out receives the function
// it replaced (NULL when the program does not import it).
struct ImportHook {
    ImportHook(const char *dll, const char *function, void *replacement, void *real_out)
        : dll(dll), function(function), real(PatchImport(dll, function, replacement))
    {
        *(void **)real_out = real;
    }
    ~ImportHook()
    {
        if (real)
            PatchImport(dll, function, real);
    }
    ImportHook(const ImportHook &) = delete;
    ImportHook &operator=(const ImportHook &) = delete;
    const char *dll;
    const char *function;
    void *real;
};

// Makes HeapAlloc fail from its nth call on (1 = the next call) while armed.
// Calls before that one, and every call while disarmed, pass through.
void ArmHeapAllocFailure(int nth);
void DisarmHeapAllocFailure();
int HeapAllocCallsSinceArmed();

#pragma once

// Helpers the benchmark programs share.

// Reads a whole file into a NUL-terminated process-heap text (caller frees
// with HeapFree); NULL when it cannot be read whole.
char *ReadWholeText(const char *path);

#pragma once

// Number of busy blocks on the process heap, counted with HeapWalk. Compare
// the count before and after an operation to see blocks it left behind.
int CountBusyHeapBlocks();

// True when a busy block of the process heap holds exactly text and its NUL,
// as the copies that the worker posts do.
bool HeapHoldsTextCopy(const char *text);

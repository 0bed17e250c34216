#pragma once

// Number of busy blocks on the process heap, counted with HeapWalk. Compare
// the count before and after an operation to see blocks it left behind.
int CountBusyHeapBlocks();

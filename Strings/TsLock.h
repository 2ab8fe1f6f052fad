#pragma once
// Cross-process locks of the product (the interprocess mutex with per-thread levels).

// The calling thread's held lock level (0 to 4); message boxes are refused while it is not 0.
int GetHeldLockLevel();

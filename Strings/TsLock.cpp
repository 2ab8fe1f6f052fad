#include "Strings/TsLock.h"

// Placeholder until the leveled lock stack exists: no thread holds a leveled lock yet.
int GetHeldLockLevel()
{
    return 0;
}

// These tests let the stop sequence delete on the host: nothing runs unless the prefix's
// profile folders are folders of its own, not links into the machine's home folder.
#include "ProfileFolders.h"

namespace {

::testing::Environment* const g_pProfileCheck =
    ::testing::AddGlobalTestEnvironment(new testutil::CRealProfileFoldersCheck);

}  // namespace

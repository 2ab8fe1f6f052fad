#pragma once
// Wine links a new prefix's Documents, Desktop, Pictures... to the home folder of the machine
// that runs the tests. The programs under test delete files on the host; in a linked folder
// they would delete real files of that machine. scripts/lib.sh and tests/wine-run turn the
// links into folders of the prefix's own; the test programs that delete check it first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testutil {

// The user's profile folders (documents, desktop, application data, pictures, music, videos,
// templates, the profile itself, the temporary folder) that are links or lie below one.
std::vector<std::string> LinkedProfileFolders();

// True when the folder or a folder above it is a link (a reparse point).
bool LiesInLink(const std::string& sFolder);

// Stops the whole test program before its first test when a profile folder is a link.
class CRealProfileFoldersCheck : public ::testing::Environment {
public:
    void SetUp() override;
};

}  // namespace testutil

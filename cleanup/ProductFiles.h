#pragma once
// Which files below the user data folder belong to the product, and the scan that finds them.
#include <vector>

#include "framework/CString.h"

enum ProductFileClass {
    kNotProductFile,
    kIdentityFile,
    kKeycardFile,
    kVaultnoteFile,
    kOtherProductFile,
};

// What one scan found. Folders are listed after everything inside them, so that removing
// them in list order goes innermost first.
struct ProductFileSet {
    std::vector<CString> folders;
    std::vector<CString> files;
    int nKeycards = 0;
    int nIdentities = 0;
    int nVaultnotes = 0;
    int nOthers = 0;
    int nTotal = 0;
};

// The class of a file by its full path and the folder that holds it (as found by the scan).
ProductFileClass ClassifyProductFile(const CString& sPath, const CString& sFolder);

// The depth guard of CollectProductFiles: set it to 1 before the outermost call. A call
// made with it at 0 or below, or above 1000, returns at once.
extern int g_nCollectDepth;

// Appends the product's files below sFolder and every folder below it to the set. Links
// (reparse points) to folders are neither entered nor listed.
void CollectProductFiles(const CString& sFolder, ProductFileSet& set);

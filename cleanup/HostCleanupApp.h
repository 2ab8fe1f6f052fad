#pragma once
// The U3 cleanup program's application object: started by the U3 platform when the product
// is removed from a U3 drive, it deletes the user's data from the device after asking
// twice. All work happens in InitInstance, which returns FALSE.
#include "framework/CString.h"
#include "framework/WinApp.h"

struct ProductFileSet;

class CHostCleanupApp : public CWinApp {
public:
    BOOL InitInstance() override;

    void CleanupDeviceData();
    // The second question, with the counts of the set; the button pressed.
    int ConfirmDataErase(const CString& sRoot, const ProductFileSet& set);

    CString m_sDataFolder;
    CString m_sHostPath;
    CString m_sDocPath;
    CString m_sLanguageName;
};

// The fixed texts of the program.
extern const char kBadOptionsText[];
extern const char kBadOptionsCaption[];
extern const char kCollectingText[];

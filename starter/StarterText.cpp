#include "starter/StarterText.h"

#include "LocalizationStrings/LocalizedStringsMap.h"
#include "Strings/TsLog.h"

CString StarterText(const char* pszKey, const char* pszArg1, const char* pszArg2)
{
    int nId = FindLocalizedStringId(pszKey);
    if (nId < 0)
        TsAssertFail("starter\\StarterText", __LINE__, 0, pszKey);
    // The table may not be loaded yet (a stop started before any language was chosen).
    if (GetLocalizedStringCount() == 0)
        ResetLocalizedStrings();
    if (pszArg2)
        return CLocalizedString(nId, pszArg1 ? pszArg1 : "", pszArg2);
    if (pszArg1)
        return CLocalizedString(nId, pszArg1);
    return CLocalizedString(nId);
}

#include "framework/Exceptions.h"

#include <cstring>

bool CException::GetErrorMessage(char* /*pszError*/, unsigned /*nMaxError*/) const
{
    return false;
}

bool CMemoryException::GetErrorMessage(char* pszError, unsigned nMaxError) const
{
    if (!pszError || nMaxError == 0)
        return false;
    std::strncpy(pszError, "Out of memory.", nMaxError - 1);
    pszError[nMaxError - 1] = 0;
    return true;
}

void AfxThrowUserException()
{
    throw CUserException();
}

void AfxThrowMemoryException()
{
    throw CMemoryException();
}

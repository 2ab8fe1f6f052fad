#include "framework/Exceptions.h"

void AfxThrowUserException()
{
    throw CUserException();
}

void AfxThrowMemoryException()
{
    throw CMemoryException();
}

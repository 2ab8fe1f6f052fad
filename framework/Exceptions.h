#pragma once
// The framework's exception kinds. Only the hard assertion and the framework itself throw.

class CException {
public:
    virtual ~CException() = default;
    virtual const char* What() const { return "exception"; }
    // Copies the exception's message for the user into pszError (nMaxError characters with
    // the terminator); false when the kind has none to give.
    virtual bool GetErrorMessage(char* pszError, unsigned nMaxError) const;
};

// The user has already been told: the operation is abandoned and the handler stays silent.
class CUserException : public CException {
public:
    const char* What() const override { return "user exception"; }
};

class CMemoryException : public CException {
public:
    const char* What() const override { return "out of memory"; }
    bool GetErrorMessage(char* pszError, unsigned nMaxError) const override;
};

[[noreturn]] void AfxThrowUserException();
[[noreturn]] void AfxThrowMemoryException();

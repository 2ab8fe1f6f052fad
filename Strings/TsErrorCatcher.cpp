#include "Strings/TsErrorCatcher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "Strings/ErrorReportText.h"
#include "Strings/TSProcessesInfo.h"
#include "Strings/TsFile.h"
#include "Strings/TsLog.h"
#include "Strings/TsMaker.h"
#include "Strings/TsSharedData.h"
#include "Strings/TsSysInfo.h"
#include "Strings/TsWindowCommon.h"
#include "framework/FaultGuard.h"
#include "framework/Sync.h"
#include "framework/WinApp.h"

namespace {

const int kVersionMajor = 6;
const int kVersionMinor = 10;
const int kVersionBuild = 2;
// The unwinder's walk ends here at the latest, whatever the stack holds.
const int kMaxUnwoundFrames = 64;

const char* g_pszEndpointOverride = nullptr;
TsBadErrorSink g_pfnSink = nullptr;

CCriticalSection& LastReportLock()
{
    static CCriticalSection cs;
    return cs;
}

CString& LastReport()
{
    static CString s;
    return s;
}

// A report that fails inside itself (a hard assertion while the report is built) must not
// start another one: the inner one is only traced.
thread_local int t_nReportDepth = 0;

CString ProcessAndModuleList()
{
    CString sList;
    TsGetProcessAndModuleList(sList);
    return sList;
}

CString BaseName(const char* pszPath)
{
    const char* pszBase = pszPath;
    for (const char* p = pszPath; *p; ++p) {
        if (*p == '\\' || *p == '/')
            pszBase = p + 1;
    }
    return CString(pszBase);
}

// Committed memory that may be read (code or data) for nBytes from p.
bool IsReadableMemory(const void* p, size_t nBytes)
{
    const char* pc = static_cast<const char*>(p);
    while (nBytes > 0) {
        MEMORY_BASIC_INFORMATION mbi;
        if (!::VirtualQuery(pc, &mbi, sizeof(mbi)) || mbi.State != MEM_COMMIT)
            return false;
        if (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD))
            return false;
        const char* pEnd = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
        size_t nHere = static_cast<size_t>(pEnd - pc);
        if (nHere >= nBytes)
            return true;
        nBytes -= nHere;
        pc = pEnd;
    }
    return true;
}

// The section of hModule that holds pAddress, from its section table as it lies in memory.
bool FindSection(HMODULE hModule, const void* pAddress, DWORD& dwSection, DWORD& dwOffset)
{
    const BYTE* pBase = reinterpret_cast<const BYTE*>(hModule);
    auto pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase);
    if (!IsReadableMemory(pDos, sizeof(*pDos)) || pDos->e_magic != IMAGE_DOS_SIGNATURE || pDos->e_lfanew <= 0)
        return false;
    auto pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
    if (!IsReadableMemory(pNt, sizeof(*pNt)) || pNt->Signature != IMAGE_NT_SIGNATURE)
        return false;
    const IMAGE_SECTION_HEADER* pSection = IMAGE_FIRST_SECTION(pNt);
    const WORD nSections = pNt->FileHeader.NumberOfSections;
    if (!IsReadableMemory(pSection, sizeof(*pSection) * nSections))
        return false;
    const ULONG_PTR nRva = reinterpret_cast<ULONG_PTR>(pAddress) - reinterpret_cast<ULONG_PTR>(pBase);
    for (WORD i = 0; i < nSections; ++i, ++pSection) {
        const DWORD dwSize = pSection->Misc.VirtualSize > pSection->SizeOfRawData ? pSection->Misc.VirtualSize
                                                                                   : pSection->SizeOfRawData;
        const ULONG_PTR nStart = pSection->VirtualAddress;
        if (nRva >= nStart && nRva <= nStart + dwSize) {
            dwSection = i + 1u;
            dwOffset = static_cast<DWORD>(nRva - nStart);
            return true;
        }
    }
    return false;
}

#if defined(__x86_64__)

// How far above its frame base a function's unwind codes reach: what the system's unwinder
// reads there (saved registers, the return address, a machine frame) lies within it.
// False when the record cannot be understood.
bool UnwindReach(DWORD64 nImageBase, const RUNTIME_FUNCTION* pFunction, ULONG_PTR& nReach, BYTE& nFrameRegister,
                 ULONG_PTR& nFrameOffset, DWORD& dwPrologSize)
{
    nReach = 8;   // the return address
    nFrameRegister = 0;
    nFrameOffset = 0;
    dwPrologSize = 0;
    ULONG_PTR nPushed = 0;
    ULONG_PTR nSaved = 0;
    for (int nChain = 0; pFunction && nChain < 8; ++nChain) {
        const BYTE* pInfo = reinterpret_cast<const BYTE*>(nImageBase + pFunction->UnwindData);
        const BYTE nFlags = pInfo[0] >> 3;
        const BYTE nCodes = pInfo[2];
        if (nChain == 0) {
            dwPrologSize = pInfo[1];
            nFrameRegister = pInfo[3] & 0x0F;
            nFrameOffset = static_cast<ULONG_PTR>(pInfo[3] >> 4) * 16;
        }
        const USHORT* pCodes = reinterpret_cast<const USHORT*>(pInfo + 4);
        for (BYTE i = 0; i < nCodes; ++i) {
            const BYTE nOp = (pCodes[i] >> 8) & 0x0F;
            const BYTE nOpInfo = pCodes[i] >> 12;
            switch (nOp) {
            case 0:   // push of a register
                nPushed += 8;
                break;
            case 1:   // large allocation
                if (nOpInfo == 0) {
                    if (++i >= nCodes) return false;
                    nPushed += static_cast<ULONG_PTR>(pCodes[i]) * 8;
                } else {
                    if (i + 2 >= nCodes) return false;
                    nPushed += pCodes[i + 1] | static_cast<ULONG_PTR>(pCodes[i + 2]) << 16;
                    i += 2;
                }
                break;
            case 2:   // small allocation
                nPushed += nOpInfo * 8u + 8;
                break;
            case 3:   // frame register set
                break;
            case 4:   // register saved at a scaled offset
            case 6:   // epilog marker (version 2); counts one extra slot
                if (++i >= nCodes) return false;
                if (nOp == 4)
                    nSaved = std::max<ULONG_PTR>(nSaved, static_cast<ULONG_PTR>(pCodes[i]) * 8 + 8);
                break;
            case 5:   // register saved at a far offset
                if (i + 2 >= nCodes) return false;
                nSaved = std::max<ULONG_PTR>(nSaved, (pCodes[i + 1] | static_cast<ULONG_PTR>(pCodes[i + 2]) << 16) + 8);
                i += 2;
                break;
            case 8:   // vector register saved at a scaled offset
                if (++i >= nCodes) return false;
                nSaved = std::max<ULONG_PTR>(nSaved, static_cast<ULONG_PTR>(pCodes[i]) * 16 + 16);
                break;
            case 9:   // vector register saved at a far offset
                if (i + 2 >= nCodes) return false;
                nSaved = std::max<ULONG_PTR>(nSaved, (pCodes[i + 1] | static_cast<ULONG_PTR>(pCodes[i + 2]) << 16) + 16);
                i += 2;
                break;
            case 10:  // machine frame of an interrupt
                nPushed += 48;
                break;
            default:
                return false;
            }
        }
        if (!(nFlags & UNW_FLAG_CHAININFO))
            break;
        pFunction = reinterpret_cast<const RUNTIME_FUNCTION*>(pCodes + ((nCodes + 1) & ~1));
    }
    nReach += nPushed + nSaved;
    return true;
}

ULONG_PTR RegisterOf(const CONTEXT& ctx, BYTE nRegister)
{
    const DWORD64* pRegisters = &ctx.Rax;   // Rax to R15 in encoding order
    return static_cast<ULONG_PTR>(pRegisters[nRegister & 15]);
}

// The system's unwinder, frame by frame from ctx. Frame pointers are not kept on x86-64, so
// the unwind tables of each module say where the caller's frame is. Every step stays on the
// thread's stack [nStackLow, nStackHigh) and goes upwards, the unwinder is let read only
// where the stack lies, the return address of a leaf function is read through a safe copy,
// and only readable code is followed, so a damaged stack ends the walk instead of faulting.
// bExactFirst: the first address is the faulting instruction itself rather than a return
// address.
void AppendUnwoundFrames(CString& sOut, CONTEXT ctx, int nSkip, ULONG_PTR nStackLow, ULONG_PTR nStackHigh,
                         bool bExactFirst)
{
    ULONG_PTR nPrevSp = 0;
    for (int i = 0; i < kMaxUnwoundFrames + nSkip && ctx.Rip != 0; ++i) {
        if (ctx.Rsp & 7) {
            sOut.AppendFormat("Uneven pFrame=%08llX\n", static_cast<unsigned long long>(ctx.Rsp));
            return;
        }
        if (ctx.Rsp < nStackLow || ctx.Rsp >= nStackHigh || ctx.Rsp < nPrevSp) {
            sOut.AppendFormat("IsBadWritePtr pFrame=%08llX\n", static_cast<unsigned long long>(ctx.Rsp));
            return;
        }
        if (!IsReadableMemory(reinterpret_cast<const void*>(ctx.Rip), 4)) {
            sOut.AppendFormat("BadReadPtr pFrame=%08llX\n", static_cast<unsigned long long>(ctx.Rsp));
            return;
        }
        if (i >= nSkip)
            sOut += FormatCodeAddress(reinterpret_cast<const void*>(ctx.Rip));
        nPrevSp = ctx.Rsp;

        // A return address may lie just past its function (a call that never returns ends it):
        // look the function up by the call instruction instead.
        const DWORD64 nLookup = i == 0 && bExactFirst ? ctx.Rip : ctx.Rip - 1;
        DWORD64 nImageBase = 0;
        PRUNTIME_FUNCTION pFunction = ::RtlLookupFunctionEntry(nLookup, &nImageBase, nullptr);
        bool bUnwound = false;
        if (!pFunction) {
            // A leaf function: the return address is at the top of the stack.
            DWORD64 nReturn = 0;
            bUnwound = ctx.Rsp + 8 <= nStackHigh && TsSafeCopy(&nReturn, reinterpret_cast<const void*>(ctx.Rsp), 8);
            ctx.Rip = nReturn;
            ctx.Rsp += 8;
        } else {
            // The unwinder reads the saved registers where the tables say, from the stack
            // pointer or (past the prolog) from the frame register: both must leave it on the
            // stack, or the walk ends here rather than the program.
            ULONG_PTR nReach = 0, nFrameOffset = 0;
            BYTE nFrameRegister = 0;
            DWORD dwProlog = 0;
            if (UnwindReach(nImageBase, pFunction, nReach, nFrameRegister, nFrameOffset, dwProlog)) {
                ULONG_PTR nBase = ctx.Rsp;
                if (nFrameRegister && ctx.Rip - (nImageBase + pFunction->BeginAddress) >= dwProlog)
                    nBase = RegisterOf(ctx, nFrameRegister) - nFrameOffset;
                bUnwound = nBase >= nStackLow && nBase < nStackHigh && nReach <= nStackHigh - nBase;
            }
            if (bUnwound) {
                PVOID pHandlerData = nullptr;
                DWORD64 nEstablisher = 0;
                ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, nImageBase, ctx.Rip, pFunction, &ctx, &pHandlerData,
                                   &nEstablisher, nullptr);
            }
        }
        if (!bUnwound) {
            sOut.AppendFormat("BadReadPtr pFrame=%08llX\n", static_cast<unsigned long long>(nPrevSp));
            return;
        }
    }
}

#elif defined(__i386__)

// The frame-pointer chain (the programs are built with frame pointers kept on x86): each
// frame holds the caller's frame pointer and the return address. Misaligned or descending
// frames, frames outside the thread's stack [nStackLow, nStackHigh) and unreadable code end
// the walk with a line that says why; every word is read through a safe copy.
void AppendFrameChain(CString& sOut, DWORD nIp, DWORD nFrame, int nSkip, ULONG_PTR nStackLow, ULONG_PTR nStackHigh)
{
    DWORD nPrevFrame = 0;
    while ((nFrame & 3) == 0) {
        if (nFrame <= nPrevFrame)
            return;
        DWORD dwCode = 0;
        if (!TsSafeCopy(&dwCode, reinterpret_cast<const void*>(nIp), 4)) {
            sOut.AppendFormat("BadReadPtr pFrame=%08lX\n", static_cast<unsigned long>(nFrame));
            return;
        }
        DWORD frame[2] = {};
        if (nFrame < nStackLow || nFrame >= nStackHigh || nStackHigh - nFrame < 8 ||
            !TsSafeCopy(frame, reinterpret_cast<const void*>(nFrame), sizeof(frame))) {
            sOut.AppendFormat("IsBadWritePtr pFrame=%08lX\n", static_cast<unsigned long>(nFrame));
            return;
        }
        if (nSkip > 0)
            --nSkip;
        else
            sOut += FormatCodeAddress(reinterpret_cast<const void*>(nIp));
        nPrevFrame = nFrame;
        nIp = frame[1];
        nFrame = frame[0];
    }
    sOut.AppendFormat("Uneven pFrame=%08lX\n", static_cast<unsigned long>(nFrame));
}

#endif

// The stack of a thread given by a context taken from it (a fault's context).
void AppendStackOfContext(CString& sOut, const CONTEXT& ctx, ULONG_PTR nStackLow, ULONG_PTR nStackHigh)
{
#if defined(__x86_64__)
    AppendUnwoundFrames(sOut, ctx, 0, nStackLow, nStackHigh, true);
#elif defined(__i386__)
    AppendFrameChain(sOut, ctx.Eip, ctx.Ebp, 0, nStackLow, nStackHigh);
#else
    (void)sOut, (void)ctx, (void)nStackLow, (void)nStackHigh;
#endif
}

// The calling thread's stack as its thread block records it: from the lowest committed
// page (it moves down as the stack grows) up to the stack's base.
void CurrentStackBounds(ULONG_PTR& nLow, ULONG_PTR& nHigh)
{
    // The block's own address from its Self field (NtCurrentTeb, without the compiler's
    // warning about reading through a segment at address 0).
    const NT_TIB* pTib = nullptr;
#if defined(__x86_64__)
    __asm__("movq %%gs:0x30, %0" : "=r"(pTib));
#elif defined(__i386__)
    __asm__("movl %%fs:0x18, %0" : "=r"(pTib));
#endif
    nLow = nHigh = 0;
    if (!pTib)
        return;
    nLow = reinterpret_cast<ULONG_PTR>(pTib->StackLimit);
    nHigh = reinterpret_cast<ULONG_PTR>(pTib->StackBase);
}

// Message boxes of the report have no owner: the program's own windows may be what broke.
int ShowReportBox(const char* pszText, const char* pszCaption, UINT uFlags)
{
    return ::MessageBoxA(nullptr, pszText, pszCaption, uFlags);
}

// The report's requests go through the system's URL cache, which would keep the whole
// report (paths and process names included) on the host after we are gone: once a request
// has been answered or has failed, its cache entry (under either spelling of the address)
// and the file it downloaded are removed. The cache functions are looked up at run time.
void ForgetCachedRequest(const char* pszUrl, const char* pszUrlWithoutFragment, const CString& sLocalFile)
{
    using DeleteEntryFn = BOOL(WINAPI*)(LPCSTR);
    static HMODULE s_hWininet = TsLoadLibrary("wininet.dll");
    auto pfnDelete = s_hWininet ? reinterpret_cast<DeleteEntryFn>(reinterpret_cast<void*>(
                                      ::GetProcAddress(s_hWininet, "DeleteUrlCacheEntryA")))
                                : nullptr;
    const DWORD dwError = ::GetLastError();
    if (pfnDelete) {
        pfnDelete(pszUrl);
        pfnDelete(pszUrlWithoutFragment);
    }
    if (!sLocalFile.IsEmpty() && ::GetFileAttributesA(sLocalFile) != INVALID_FILE_ATTRIBUTES)
        ::DeleteFileA(sLocalFile);
    ::SetLastError(dwError);
}

bool Fetch(const char* pszUrl, CString& sError)
{
    // Wine's URLDownloadToCacheFile takes everything after the address's last full stop for
    // the cache file's extension and overruns a stack buffer when that is 259 characters or
    // more, which a report's text easily is. A fragment never goes to the server: "#." gives
    // every address a short extension without changing the request.
    CString sUrl = pszUrl;
    sUrl += "#.";
    CString sLocalFile;
    const bool bSent = DownloadToCache(sUrl, nullptr, sLocalFile, false, sError);
    ForgetCachedRequest(sUrl, pszUrl, sLocalFile);
    return bSent;
}

CString EncodedRequest(const CString& sText)
{
    return CString(UrlEncode(sText.str(), true, true));
}

void SendReport(const CString& sHeader, const char* pszMessage)
{
    const char* pszEndpoint = TsGetErrorReportEndpoint();
    // The question promises that nothing personal is sent: the name and e-mail fields of the
    // requests stay empty.
    TsUserRegInfo user;

    CString sText;
    sText.Format("%s?\nName: %s Mail: %s\n%s%s", pszEndpoint, user.sName.c_str(), user.sEmail.c_str(),
                 sHeader.c_str(), pszMessage);
    CString sError;
    bool bSent = Fetch(EncodedRequest(sText), sError);
    TsTrace("BADR: 1 %d\n", "TsReportBadError: request 1 sent=%d\n", bSent ? 1 : 0);
    if (!bSent) {
        CString sBox;
        sBox.Format("Cannot connect to %s:\n%s", pszEndpoint, sError.c_str());
        TsMsgBox(TS_MSG_SYSTEM_ERROR, nullptr, sBox, nullptr, 0);
    }

    sText.Format("%s?\nName: %s Mail: %s\nV %d.%d.%d \n*MiniTr:*\n", pszEndpoint, user.sName.c_str(),
                 user.sEmail.c_str(), kVersionMajor, kVersionMinor, kVersionBuild);
    std::string sRequest = UrlEncode(sText.str(), true, true);
    CString sTrace;
    TsGetTraceText(sTrace);
    sRequest += NewestPartThatFits(UrlEncode(sTrace.str(), true, false), sRequest.size());
    bSent = Fetch(sRequest.c_str(), sError);
    TsTrace("BADR: 2 %d\n", "TsReportBadError: request 2 sent=%d\n", bSent ? 1 : 0);

    sText.Format("%s?\nName: %s Mail: %s\nV %d.%d.%d \n%s", pszEndpoint, user.sName.c_str(), user.sEmail.c_str(),
                 kVersionMajor, kVersionMinor, kVersionBuild, ProcessAndModuleList().c_str());
    bSent = Fetch(EncodedRequest(sText), sError);
    TsTrace("BADR: 3 %d\n", "TsReportBadError: request 3 sent=%d\n", bSent ? 1 : 0);
}

void ReportBadErrorNow(const char* pszMessage, bool bMemoryFull, bool bShowDuplicates, bool bDontAsk)
{
    if (bMemoryFull && TsIsSharedDataConnected() && g_pTsSharedData)
        g_pTsSharedData->dwOutOfMemory = 1;
    TsTrace("BADE: mf=%d sd=%d msg=%.20s|\n", "TsReportBadError: bMemoryFull=%d bShowDups=%d msg=[[%s]]\n",
            bMemoryFull ? 1 : 0, bShowDuplicates ? 1 : 0, pszMessage);

    if (!bShowDuplicates) {
        CSingleLock lock(&LastReportLock(), true);
        if (LastReport() == pszMessage)
            return;
        LastReport() = pszMessage;
    }

    CString sHeader;
    sHeader.Format("%s %s\n%s\n%s\n%s\n", GetDateStamp().c_str(), GetTimeStamp().c_str(),
                   GetSystemDescription("", "", 0, "", "", false, false).c_str(), GetMemoryStatusText().c_str(),
                   bMemoryFull ? "OUT OF MEMORY" : "");
    CString sTrace;
    TsGetTraceText(sTrace);
    const CString sReport = sHeader + pszMessage + "\n" + sTrace + "\n" + ProcessAndModuleList();

    TsLogStart(nullptr);
    if (TsLogIsStarted()) {
        TsLogWriteRaw("\r\n==================\r\n");
        TsLogWriteRaw(sReport);
        TsLogWriteRaw("\r\n==================\r\n");
    }

    const std::string sShort = ShortenReportForDisplay(sReport.str());
    const TsKnownTrouble* pTrouble = bMemoryFull ? &kTsOutOfMemoryTrouble : FindKnownTrouble(sReport.str());
    if (pTrouble) {
        ShowReportBox(pTrouble->pszText, pTrouble->pszCaption, MB_ICONERROR | MB_SYSTEMMODAL);
        return;
    }

    CString sQuestion = "This is an internal error report. Please click Yes and it will be sent to Tessaly server.\n"
                        "No personal information will be sent, only the technical data to help us fix this bug.\n"
                        "If auto send fails, email file _ts.log from your temporary folder to ";
    sQuestion += kTsSupportEmail;
    sQuestion += ".\nYou can see where your temp folder is by typing %TEMP% into Address bar of IE browser.\n\n";
    sQuestion += CString(sShort);
    sQuestion += "\nDo you want to send error report to ";
    sQuestion += kTsWebSiteName;
    sQuestion += "?";
    if (!bDontAsk &&
        ShowReportBox(sQuestion, "Tessaly System Error", MB_YESNO | MB_ICONERROR | MB_SYSTEMMODAL) != IDYES)
        return;

    SendReport(sHeader, pszMessage);
    TsTrace("BAD-\n", "BadError reported\n");
}

struct FaultReport {
    EXCEPTION_POINTERS* pPointers;
    ULONG_PTR nStackLow;
    ULONG_PTR nStackHigh;
};

DWORD g_dwFaultReportThread = 0;

DWORD WINAPI ReportFaultThread(void* pParam)
{
    const FaultReport& fault = *static_cast<const FaultReport*>(pParam);
    const EXCEPTION_RECORD* pRecord = fault.pPointers->ExceptionRecord;
    CString sReport;
    sReport.Format("EXCEPTION %08lX\n", static_cast<unsigned long>(pRecord ? pRecord->ExceptionCode : 0));
    if (fault.pPointers->ContextRecord)
        AppendStackOfContext(sReport, *fault.pPointers->ContextRecord, fault.nStackLow, fault.nStackHigh);
    sReport += "\n";
    try {
        TsReportBadError(sReport, false, true, false);
    } catch (...) {
        // The process ends anyway; the report got as far as it could.
    }
    return 0;
}

// Room for the fault handler on a thread whose stack overflowed (Vista and later; looked
// up by name so that older systems still load the program).
void ReserveStackForFaults()
{
    HMODULE hKernel = ::GetModuleHandleA("kernel32.dll");
    using GuaranteeFn = BOOL(WINAPI*)(PULONG);
    auto pGuarantee = hKernel ? reinterpret_cast<GuaranteeFn>(reinterpret_cast<void*>(
                                    ::GetProcAddress(hKernel, "SetThreadStackGuarantee")))
                              : nullptr;
    ULONG nBytes = 64 * 1024;
    if (pGuarantee)
        pGuarantee(&nBytes);
}

// Registered while static objects are built, before the framework's entry runs.
struct FaultHandlerRegistration {
    FaultHandlerRegistration()
    {
        AfxSetFaultHandler(TsUnhandledExceptionFilter);
        ReserveStackForFaults();
    }
} g_faultHandlerRegistration;

}  // namespace

// --- reports -------------------------------------------------------------------------------

void TsReportBadError(const char* pszMessage, bool bMemoryFull, bool bShowDuplicates, bool bDontAsk)
{
    // Read first: nearly every call changes it, even a successful one (TlsGetValue clears it).
    if (!bMemoryFull && ::GetLastError() == ERROR_NOT_ENOUGH_MEMORY)
        bMemoryFull = true;
    if (!pszMessage)
        pszMessage = "";
    if (g_pfnSink) {
        g_pfnSink(pszMessage, bMemoryFull, bShowDuplicates, bDontAsk);
        return;
    }
    if (t_nReportDepth > 0) {
        TsTrace("BADN: %.40s|\n", "TsReportBadError: nested report dropped [[%s]]\n", pszMessage);
        return;
    }
    ++t_nReportDepth;
    try {
        ReportBadErrorNow(pszMessage, bMemoryFull, bShowDuplicates, bDontAsk);
    } catch (...) {
        --t_nReportDepth;
        throw;
    }
    --t_nReportDepth;
}

// Out of line: the frames it leaves out are counted from its own.
__attribute__((noinline)) void TsReportCrash(const char* pszMessage, bool bNoAsk, int nSkipFrames)
{
    CString sReport = "ASSERT\n";
    if (pszMessage) {
        sReport += pszMessage;
        sReport += "\n";
    }
#if defined(__x86_64__)
    CONTEXT ctx = {};
    ctx.ContextFlags = CONTEXT_CONTROL;
    ::RtlCaptureContext(&ctx);
    ULONG_PTR nLow = 0, nHigh = 0;
    CurrentStackBounds(nLow, nHigh);
    // The first frame is this function's own.
    AppendUnwoundFrames(sReport, ctx, 1 + nSkipFrames, nLow, nHigh, false);
    sReport += "\n";
#elif defined(__i386__)
    // This function's frame holds the caller's frame pointer and the return into it.
    const DWORD* pFrame = static_cast<const DWORD*>(__builtin_frame_address(0));
    ULONG_PTR nLow = 0, nHigh = 0;
    CurrentStackBounds(nLow, nHigh);
    AppendFrameChain(sReport, reinterpret_cast<DWORD>(__builtin_return_address(0)), pFrame[0], nSkipFrames, nLow,
                     nHigh);
    sReport += "\n";
#endif
    // The report is built in a buffer of 8192 characters.
    if (sReport.GetLength() > 8191)
        sReport = sReport.Left(8191);
    TsReportBadError(sReport, false, false, bNoAsk);
}

CString GetExceptionText(const CException& exception)
{
    const DWORD dwLastError = ::GetLastError();
    char szText[8096] = "";
    CString sText;
    if (exception.GetErrorMessage(szText, sizeof(szText)) && szText[0])
        sText = szText;
    else
        sText.Format("Unknown error: LastError=%lx", static_cast<unsigned long>(dwLastError));
    return sText;
}

void ReportFrameworkException(const CException& exception)
{
    if (dynamic_cast<const CUserException*>(&exception))
        return;
    const bool bMemory = dynamic_cast<const CMemoryException*>(&exception) != nullptr;
    TsReportBadError(GetExceptionText(exception), bMemory, true, false);
}

CString FormatCodeAddress(const void* pAddress)
{
    DWORD dwSection = 0;
    DWORD dwOffset = 0;
    CString sModule;
    MEMORY_BASIC_INFORMATION mbi;
    if (::VirtualQuery(pAddress, &mbi, sizeof(mbi)) && mbi.AllocationBase) {
        HMODULE hModule = static_cast<HMODULE>(mbi.AllocationBase);
        char szPath[MAX_PATH] = "";
        DWORD n = ::GetModuleFileNameA(hModule, szPath, MAX_PATH);
        if (n >= 1 && n <= 259)
            sModule = BaseName(szPath);
        if (mbi.Type == MEM_IMAGE && !FindSection(hModule, pAddress, dwSection, dwOffset)) {
            dwSection = 0;
            dwOffset = 0;
        }
    }
    CString sLine;
    sLine.Format("%04lX:%08lX %s\n", static_cast<unsigned long>(dwSection), static_cast<unsigned long>(dwOffset),
                 sModule.c_str());
    return sLine;
}

namespace {

DWORD g_dwFaultReportLimitMs = 60000;

BOOL CALLBACK FindShownWindow(HWND hWnd, LPARAM lParam)
{
    if (!::IsWindowVisible(hWnd))
        return TRUE;
    *reinterpret_cast<bool*>(lParam) = true;
    return FALSE;
}

// Waits for the report of a fault. Only the time the report works counts against the limit:
// while one of its boxes is up, it waits for the user. When the limit runs out (the report
// hangs on a lock that the faulting code left held), the wait is given up.
void WaitForFaultReport(HANDLE hThread, DWORD dwThreadId)
{
    DWORD dwWorked = 0;
    DWORD dwLast = ::GetTickCount();
    while (::WaitForSingleObject(hThread, 200) == WAIT_TIMEOUT) {
        const DWORD dwNow = ::GetTickCount();
        bool bAsking = false;
        ::EnumThreadWindows(dwThreadId, FindShownWindow, reinterpret_cast<LPARAM>(&bAsking));
        if (!bAsking)
            dwWorked += dwNow - dwLast;
        dwLast = dwNow;
        if (dwWorked >= g_dwFaultReportLimitMs)
            return;
    }
}

}  // namespace

LONG WINAPI TsUnhandledExceptionFilter(EXCEPTION_POINTERS* pPointers)
{
    static LONG s_bReporting = 0;
    if (!pPointers)
        return EXCEPTION_CONTINUE_SEARCH;
    const DWORD dwCode = pPointers->ExceptionRecord ? pPointers->ExceptionRecord->ExceptionCode : ERROR_INVALID_DATA;
    if (::InterlockedExchange(&s_bReporting, 1) == 0) {
        FaultReport fault = {pPointers, 0, 0};
        CurrentStackBounds(fault.nStackLow, fault.nStackHigh);
        // The report runs on a stack of its own: this one may be exhausted (a stack overflow).
        HANDLE hThread = ::CreateThread(nullptr, 0, ReportFaultThread, &fault, 0, &g_dwFaultReportThread);
        if (hThread) {
            WaitForFaultReport(hThread, g_dwFaultReportThread);
            ::CloseHandle(hThread);
        }
    } else if (::GetCurrentThreadId() != g_dwFaultReportThread) {
        // Another thread is reporting a fault already and ends the process when it is done
        // (within the report's limit).
        for (;;)
            ::Sleep(INFINITE);
    }
    // Not ExitProcess: after a fault, static destructors and DLL detach routines may hang on
    // what the fault left behind.
    ::TerminateProcess(::GetCurrentProcess(), dwCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// --- seams for tests ---------------------------------------------------------------------

const char* TsGetErrorReportEndpoint()
{
    return g_pszEndpointOverride ? g_pszEndpointOverride : kTsErrorReportEndpoint;
}

void TsSetErrorReportEndpoint(const char* pszEndpoint)
{
    g_pszEndpointOverride = pszEndpoint;
}

void TsSetBadErrorSink(TsBadErrorSink pfnSink)
{
    g_pfnSink = pfnSink;
}

TsBadErrorSink TsGetBadErrorSink()
{
    return g_pfnSink;
}

void TsSetFaultReportLimit(DWORD dwMs)
{
    g_dwFaultReportLimitMs = dwMs;
}

void TsResetLastReport()
{
    CSingleLock lock(&LastReportLock(), true);
    LastReport().Empty();
}

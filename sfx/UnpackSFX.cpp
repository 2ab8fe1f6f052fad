#include "sfx/UnpackSFX.h"

#include "Strings/TsLog.h"
#include "sfx/FilePackOutStream.h"
#include "sfx/ReportSetupError.h"
#include "sfx/SfxBlockChain.h"
#include "sfx/format/LzmaDecoder.h"

namespace {

// Tells the user when reading the package failed under the decoder (the drive went away).
bool ReportReadFault(const CBlockInStream* pBlockStream)
{
    TsFaultInfo fault;
    if (!pBlockStream->Faulted(&fault))
        return false;
    const CMappedFile* pPackage = pBlockStream->Package();
    ReportSetupError("Can't read from package ", pPackage ? pPackage->GetPath().c_str() : "", TsFaultErrorCode(fault));
    return true;
}

}  // namespace

SfxStatus DecodeFilePack(CBlockInStream* pBlockStream, const char* pszOutputFolder)
{
    if (!pBlockStream)
        return kSfxInvalidArg;
    CLzmaDecoder decoder;
    CFilePackOutStream* pOut = new CFilePackOutStream(pszOutputFolder ? pszOutputFolder : "");
    CStreamRef<CFilePackOutStream> out(pOut);

    uint8_t props[kLzmaPropsSize];
    uint32_t dwRead = 0;
    SfxStatus s = pBlockStream->Read(props, kLzmaPropsSize, &dwRead);
    if (SfxFailed(s)) {
        if (!ReportReadFault(pBlockStream))
            ReportSetupError("Read DecoderProperties error", nullptr, static_cast<DWORD>(s));
        return s;
    }
    if (dwRead < kLzmaPropsSize) {
        ReportSetupError("Read DecoderProperties size mismatch", nullptr, 0);
        return kSfxFail;
    }
    s = decoder.SetDecoderProperties2(props, kLzmaPropsSize);
    if (SfxFailed(s)) {
        ReportSetupError("SetDecoderProperties error", nullptr, static_cast<DWORD>(s));
        return s;
    }
    s = decoder.Code(pBlockStream, pOut);
    // A stream that ends before its last file is as damaged as one the decoder refuses.
    if (!SfxFailed(s))
        s = pOut->Finish();
    if (SfxFailed(s)) {
        // The file in progress is incomplete: it must not stay for a program to load.
        pOut->Abandon();
        if (!ReportReadFault(pBlockStream))
            ReportSetupError("Failed to decode stream ", nullptr, static_cast<DWORD>(s));
        return s;
    }
    return kSfxOk;
}

SfxStatus UnpackSFX(const CMappedFile& package, const char* pszBlockName, const char* pszOutputFolder)
{
    CStreamRef<CBlockInStream> stream(new CBlockInStream(&package));
    TsLogWrite("UnpackSFX() ", pszBlockName, 0, TRUE);
    if (SfxFailed(stream->Open(pszBlockName))) {
        if (ReportReadFault(stream.Get())) {
            TsFaultInfo fault;
            stream->Faulted(&fault);
            SfxStatus s = SfxStatusFromError(TsFaultErrorCode(fault));
            ReportSetupError("Err unpack to", pszOutputFolder, static_cast<DWORD>(s));
            return s;
        }
        TsLogWrite("Err open ", pszBlockName, 0, TRUE);
        return kSfxFail;
    }
    SfxStatus s = DecodeFilePack(stream.Get(), pszOutputFolder);
    if (SfxFailed(s)) {
        ReportSetupError("Err unpack to", pszOutputFolder, static_cast<DWORD>(s));
        return s;
    }
    TsLogWrite(" ... Unpacked to", pszOutputFolder, 0, TRUE);
    return kSfxOk;
}

SfxStatus SaveSFX(const CMappedFile& package, const char* pszBlockName, const char* pszPath, bool bOverwrite)
{
    TsLogWrite("SaveSFX() ", pszBlockName, 0, TRUE);
    DWORD dwSize = 0;
    TsFaultInfo fault;
    const BYTE* pPayload =
        package.IsOpen() ? FindSfxBlock(package.GetView(), package.GetSize(), pszBlockName, &dwSize, &fault) : nullptr;
    if (fault.dwError) {
        ReportSetupError("Can't read from package ", package.GetPath().c_str(), TsFaultErrorCode(fault));
        return SfxStatusFromError(TsFaultErrorCode(fault));
    }
    if (!pPayload) {
        TsLogWrite("Err open ", pszBlockName, 0, TRUE);
        return kSfxFail;
    }
    CUniqueFile file(::CreateFileA(pszPath, GENERIC_WRITE, 0, nullptr, bOverwrite ? CREATE_ALWAYS : CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        DWORD dwError = ::GetLastError();
        ReportSetupError("Err save to ", pszPath, dwError);
        return SfxStatusFromError(dwError);
    }
    DWORD dwWritten = 0;
    if (!::WriteFile(file.Get(), pPayload, dwSize, &dwWritten, nullptr) || dwWritten != dwSize) {
        DWORD dwError = ::GetLastError();
        ReportSetupError("Err write ", pszPath, dwError);
        return SfxStatusFromError(dwError);
    }
    TsLogWrite(" ... saved to ", pszPath, 0, TRUE);
    return kSfxOk;
}

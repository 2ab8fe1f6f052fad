#include "sfx/FilePackOutStream.h"

#include "Strings/TsLog.h"
#include "Strings/TsSafeFs.h"
#include "Strings/TsSecurity.h"
#include "framework/FaultGuard.h"
#include "sfx/MappedFile.h"
#include "sfx/ReportSetupError.h"
#include "sfx/format/Crc32.h"
#include "sfx/format/PackDecode.h"

CFilePackOutStream::CFilePackOutStream(const char* pszOutputFolder)
    : m_sFolder(pszOutputFolder ? pszOutputFolder : ""),
      m_parser(*this, m_sFolder.IsEmpty() ? 1 : static_cast<size_t>(m_sFolder.GetLength())),
      m_record(m_sFolder)
{
    m_parser.SetLeadBytes(TsIsAnsiLeadByte);
}

SfxStatus CFilePackOutStream::QueryInterface(const void*, void** ppObject)
{
    if (ppObject)
        *ppObject = nullptr;
    return kSfxNoInterface;
}

uint32_t CFilePackOutStream::AddRef()
{
    return static_cast<uint32_t>(::InterlockedIncrement(&m_nRefs));
}

uint32_t CFilePackOutStream::Release()
{
    LONG n = ::InterlockedDecrement(&m_nRefs);
    if (n == 0)
        delete this;
    return static_cast<uint32_t>(n);
}

SfxStatus CFilePackOutStream::Write(const void* pData, uint32_t dwSize, uint32_t* pdwProcessed)
{
    return WriteToParser(m_parser, pData, dwSize, pdwProcessed);
}

SfxStatus CFilePackOutStream::Finish()
{
    return m_parser.Finish();
}

bool CFilePackOutStream::ReachFolder(const char* pszName, CSafeFolder*& pFolder, std::string& sLeaf,
                                     SfxStatus& status)
{
    pFolder = nullptr;
    DWORD dwError = 0;
    if (!m_top.IsOpen()) {
        // The output folder is held from the drive's root down while the pack is written;
        // every folder and file below is made through it, never by a path looked up again.
        std::string sAt;
        if (!m_top.OpenPathToFill(m_sFolder, dwError, &sAt)) {
            if (dwError == kTsErrorNotTheListedEntry) {
                ReportSetupError("Can not create folder (a link is in its place) ", sAt.c_str(), 0);
                status = kSfxFail;
            } else {
                ReportSetupError("Can not create folder", m_sFolder, dwError);
                status = SfxStatusFromError(dwError);
            }
            return false;
        }
    }
    // The name's folders, split by characters: a trail byte of a double-byte character
    // may be 0x5C.
    CSafeFolder* pCurrent = &m_top;
    std::string sRel;
    const char* pPart = pszName;
    for (const char* p = pszName;; p = ::CharNextA(p)) {
        if (*p && *p != '\\')
            continue;
        const std::string sPart(pPart, p);
        if (!*p) {
            sLeaf = sPart;
            break;
        }
        sRel += (sRel.empty() ? "" : "\\") + sPart;
        CString sKey(sRel.c_str());
        sKey.MakeUpper();
        auto it = m_folders.find(sKey.c_str());
        if (it != m_folders.end()) {
            pCurrent = &it->second;
        } else {
            CSafeFolder child;
            bool bCreated = false;
            const CString sPartial = m_sFolder + "\\" + sRel.c_str();
            if (!pCurrent->CreateChildFolder(sPart, child, bCreated, dwError)) {
                if (dwError == kTsErrorNotTheListedEntry || dwError == ERROR_DIRECTORY) {
                    // A link (or a file) would lead outside the output folder.
                    ReportSetupError("Can not create folder (a link is in its place) ", sPartial, 0);
                    status = kSfxFail;
                } else {
                    ReportSetupError("Can not create folder", sPartial, dwError);
                    status = SfxStatusFromError(dwError);
                }
                return false;
            }
            // A folder that was there before may be somebody else's, who could change what
            // runs from it: it ends the block.
            CString sRefused;
            if (!bCreated && !TsCheckHeldFolder(child.Handle(), sPartial, sRefused)) {
                ReportSetupError(sRefused, nullptr, 0);
                status = kSfxFail;
                return false;
            }
            pCurrent = &(m_folders[sKey.c_str()] = std::move(child));
            if (bCreated && !Record(sRel.c_str(), true, status))
                return false;
        }
        pPart = p + 1;
    }
    pFolder = pCurrent;
    return true;
}

SfxStatus CFilePackOutStream::OnFileBegin(const FilePackEntry& entry)
{
    m_sPath.Format("%s\\%s", m_sFolder.c_str(), entry.pszName);
    m_bCreated = false;
    m_bVerifyExisting = false;
    m_dwCreateError = 0;
    m_pFileFolder = nullptr;
    if (m_sFolder.IsEmpty()) {
        // Joined to nothing, the name would address the root of the current drive.
        ReportSetupError("No output folder for ", entry.pszName, 0);
        return kSfxFail;
    }
    if (!lstrcmpiA(entry.pszName, kUnpackRecordName)) {
        // The pack must not overwrite the list of what the unpack wrote.
        ReportSetupError("Unsafe file name in package ", entry.pszName, 0);
        return kSfxFail;
    }
    SfxStatus status = kSfxOk;
    CSafeFolder* pFolder = nullptr;
    if (!ReachFolder(entry.pszName, pFolder, m_sFileName, status))
        return status;
    // Whatever has the name goes first (a link as the link, a hard link as this name only):
    // the file is always made anew, so nothing is written into a file somebody else made.
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD dwError = 0;
    if (!pFolder->CreateNewFile(m_sFileName, h, dwError)) {
        if (dwError == ERROR_INVALID_NAME) {
            // The short alias of another entry, the record's among them.
            ReportSetupError("Unsafe file name in package ", entry.pszName, 0);
            return kSfxFail;
        }
        // Typically held open by a running program: its content is checked at the end.
        m_dwCreateError = dwError;
        m_bVerifyExisting = true;
        return kSfxOk;
    }
    m_file.Reset(h);
    m_pFileFolder = pFolder;
    m_bCreated = true;
    if (!Record(entry.pszName, false, status)) {
        DiscardCurrentFile();
        return status;
    }
    return kSfxOk;
}

bool CFilePackOutStream::Record(const char* pszName, bool bFolder, SfxStatus& status)
{
    DWORD dwError = 0;
    if (m_record.Add(pszName, bFolder, dwError))
        return true;
    ReportSetupError("Error writing to file ", m_record.Path().c_str(), dwError);
    status = SfxStatusFromError(dwError);
    return false;
}

SfxStatus CFilePackOutStream::OnFileData(const FilePackEntry&, const uint8_t* pData, size_t nSize)
{
    if (!m_file)
        return kSfxOk;
    DWORD dwWritten = 0;
    const BOOL bWritten = ::WriteFile(m_file.Get(), pData, static_cast<DWORD>(nSize), &dwWritten, nullptr);
    if (!bWritten || dwWritten != nSize) {
        // Typically a full disk. A program file cut short must neither stay nor count as
        // written: the block fails, and the run's cleanup removes what it wrote. A short
        // write that reports success leaves no error of its own.
        DWORD dwError = bWritten ? ERROR_DISK_FULL : ::GetLastError();
        if (dwError == NO_ERROR)
            dwError = ERROR_DISK_FULL;
        DiscardCurrentFile();
        ReportSetupError("Error writing to file ", m_sPath, dwError);
        return SfxStatusFromError(dwError);
    }
    return kSfxOk;
}

SfxStatus CFilePackOutStream::OnFileEnd(const FilePackEntry& entry, uint32_t dwStoredCrc)
{
    if (m_file && !::CloseHandle(m_file.Release())) {
        // The system may report a failed write only when the file is closed.
        DWORD dwError = ::GetLastError();
        DiscardCurrentFile();
        ReportSetupError("Error writing to file ", m_sPath, dwError);
        return SfxStatusFromError(dwError);
    }
    TsLogWrite("Unpacked", entry.pszName, entry.dwSize, TRUE);
    if (m_bVerifyExisting) {
        m_bVerifyExisting = false;
        bool bSame;
        WIN32_FILE_ATTRIBUTE_DATA fad;
        if (entry.dwSize == 0) {
            // An empty file cannot be mapped; its size alone says whether it is the same.
            bSame = ::GetFileAttributesExA(m_sPath, GetFileExInfoStandard, &fad) &&
                    !(fad.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && fad.nFileSizeLow == 0 && fad.nFileSizeHigh == 0;
        } else {
            CMappedFile existing;
            Crc32 crc;
            bSame = existing.Open(m_sPath, GENERIC_READ, OPEN_EXISTING) && existing.GetSize() == entry.dwSize &&
                    TsSafeRead(existing.GetView(), existing.GetSize(),
                               [&crc](const void* p, size_t n) { crc.Update(p, n); }) &&
                    crc.Digest() == dwStoredCrc;
        }
        if (!bSame) {
            // The file there is not the one the pack holds, and it could not be replaced:
            // what would run is the old (or somebody else's) file.
            const DWORD dwError = m_dwCreateError ? m_dwCreateError : ERROR_CANNOT_MAKE;
            ReportSetupError("Error creating output file", m_sPath, dwError);
            return SfxStatusFromError(dwError);
        }
    }
    return kSfxOk;
}

void CFilePackOutStream::DiscardCurrentFile()
{
    DWORD dwError = 0;
    if (m_bCreated && !(m_file && TsDeleteThroughHandle(m_file.Get(), dwError))) {
        // Closed already (or no handle calls): removed as listed in its folder.
        m_file.Reset();
        if (m_pFileFolder && !m_pFileFolder->RemoveByName(m_sFileName, dwError))
            TsLogWrite("Can't remove unpacked file ", m_sPath, dwError, TRUE);
    }
    m_file.Reset();
    m_bCreated = false;
}

void CFilePackOutStream::OnPackError(FilePackError error, const FilePackEntry* pEntry)
{
    switch (error) {
    case FilePackError::HeaderTooSmall:
    case FilePackError::EntryPastHeader:
        ReportSetupError("Damaged file list in package", nullptr, 0);
        break;
    case FilePackError::UnsafeName:
        ReportSetupError("Unsafe file name in package ", pEntry ? pEntry->pszName : "", 0);
        break;
    case FilePackError::PathTooLong: {
        CString sPath;
        sPath.Format("%s\\%s", m_sFolder.c_str(), pEntry ? pEntry->pszName : "");
        ReportSetupError("Path too long for file ", sPath, 0);
        break;
    }
    case FilePackError::CrcMismatch:
        // Written content that fails its check is not left for a program to load.
        DiscardCurrentFile();
        ReportSetupError("CRC Error in file ", pEntry ? pEntry->pszName : "", 0);
        break;
    case FilePackError::Truncated:
        DiscardCurrentFile();
        if (pEntry)
            ReportSetupError("Unexpected end of data in file ", pEntry->pszName, 0);
        else
            ReportSetupError("Unexpected end of data in file list", nullptr, 0);
        break;
    }
}

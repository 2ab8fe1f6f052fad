#include "sfx/FilePackOutStream.h"

#include "Strings/TsLog.h"
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

bool CFilePackOutStream::CreateFolders(SfxStatus& status)
{
    // Every backslash after the output folder's own part ends a folder to create. A folder
    // that is a link (junction or symbolic link) would lead outside the output folder.
    // Folders this stream has already made or checked are not asked for again: packs list
    // the files of one folder together.
    int nLast = -1;
    for (int nPos = m_sPath.Find('\\', m_sFolder.GetLength() + 1); nPos >= 0; nPos = m_sPath.Find('\\', nPos + 1)) {
        nLast = nPos;
        CString sPartial = m_sPath.Left(nPos);
        if (m_sKnownFolder.GetLength() >= nPos && m_sKnownFolder.Left(nPos) == sPartial &&
            (m_sKnownFolder.GetLength() == nPos || m_sKnownFolder[nPos] == '\\'))
            continue;
        if (::CreateDirectoryA(sPartial, nullptr)) {
            if (!Record(sPartial.Mid(m_sFolder.GetLength() + 1), true, status))
                return false;
            continue;
        }
        DWORD dwError = ::GetLastError();
        if (dwError == ERROR_ALREADY_EXISTS) {
            DWORD dwAttr = ::GetFileAttributesA(sPartial);
            if (dwAttr == INVALID_FILE_ATTRIBUTES || !(dwAttr & FILE_ATTRIBUTE_REPARSE_POINT))
                continue;
            ReportSetupError("Can not create folder (a link is in its place) ", sPartial, 0);
            status = kSfxFail;
            return false;
        }
        ReportSetupError("Can not create folder", sPartial, dwError);
        status = SfxStatusFromError(dwError);
        return false;
    }
    if (nLast >= 0)
        m_sKnownFolder = m_sPath.Left(nLast);
    return true;
}

SfxStatus CFilePackOutStream::OnFileBegin(const FilePackEntry& entry)
{
    m_sPath.Format("%s\\%s", m_sFolder.c_str(), entry.pszName);
    m_bCreated = false;
    m_bVerifyExisting = false;
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
    if (!CreateFolders(status))
        return status;
    // A new file is the common case; an existing one is replaced, but a link in its place is
    // removed rather than written through.
    m_file.Reset(::CreateFileA(m_sPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file && ::GetLastError() == ERROR_FILE_EXISTS) {
        DWORD dwAttr = ::GetFileAttributesA(m_sPath);
        if (dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) &&
            !(dwAttr & FILE_ATTRIBUTE_DIRECTORY))
            ::DeleteFileA(m_sPath);
        m_file.Reset(::CreateFileA(m_sPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (!m_file) {
        m_bVerifyExisting = true;   // typically held open by a running program: checked at the end
        return kSfxOk;
    }
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
    if (!::WriteFile(m_file.Get(), pData, static_cast<DWORD>(nSize), &dwWritten, nullptr) || dwWritten != nSize) {
        // Typically a full disk. A program file cut short must neither stay nor count as
        // written: the block fails, and the run's cleanup removes what it wrote.
        DWORD dwError = ::GetLastError();
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
            uint32_t dwCrc = 0;
            bSame = existing.Open(m_sPath, GENERIC_READ, OPEN_EXISTING) && existing.GetSize() == entry.dwSize &&
                    TsGuarded([&] { dwCrc = Crc32::Of(existing.GetView(), existing.GetSize()); }) &&
                    dwCrc == dwStoredCrc;
        }
        if (!bSame)
            ReportSetupError("Error creating output file", m_sPath, 0);
    }
    return kSfxOk;
}

void CFilePackOutStream::DiscardCurrentFile()
{
    m_file.Reset();
    if (m_bCreated)
        ::DeleteFileA(m_sPath);
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

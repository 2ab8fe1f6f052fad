#pragma once
// Takes the decoder's output, parses it as a file pack and writes the member files below
// the output folder, checking each file's CRC-32 as it goes. Every file and folder it
// creates goes into the folder's unpack record first thing. The output folder is held from
// the drive's root down and everything below it is made through it (Strings/TsSafeFs): a
// link in a folder's place ends the block, and every file is made anew.
#include <windows.h>

#include <map>
#include <string>

#include "Strings/TsSafeFs.h"
#include "framework/CString.h"
#include "framework/Unique.h"
#include "sfx/format/FilePack.h"
#include "sfx/UnpackRecord.h"
#include "sfx/format/LzmaDecoder.h"

class CFilePackOutStream final : public ISequentialOutStream, private IFilePackSink {
public:
    // pszOutputFolder: an existing folder without trailing backslash (at most 259 characters).
    explicit CFilePackOutStream(const char* pszOutputFolder);
    CFilePackOutStream(const CFilePackOutStream&) = delete;
    CFilePackOutStream& operator=(const CFilePackOutStream&) = delete;

    SfxStatus QueryInterface(const void* pIid, void** ppObject) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // Takes the whole chunk or fails; a failure has already been reported to the user.
    SfxStatus Write(const void* pData, uint32_t dwSize, uint32_t* pdwProcessed) override;

    // The decoder has ended: fails (reported) unless every file and its CRC arrived.
    SfxStatus Finish();
    // Decoding failed: the file in progress, if this stream created it, goes.
    void Abandon() { DiscardCurrentFile(); }

    const CFilePackParser& Parser() const { return m_parser; }

private:
    ~CFilePackOutStream() = default;   // only Release ends it; the owners close the file

    SfxStatus OnFileBegin(const FilePackEntry& entry) override;
    SfxStatus OnFileData(const FilePackEntry& entry, const uint8_t* pData, size_t nSize) override;
    SfxStatus OnFileEnd(const FilePackEntry& entry, uint32_t dwStoredCrc) override;
    void OnPackError(FilePackError error, const FilePackEntry* pEntry) override;

    // The folder that holds the entry pszName below the output folder, made where missing
    // (and recorded); sLeaf receives the entry's own name. A failure is reported.
    bool ReachFolder(const char* pszName, CSafeFolder*& pFolder, std::string& sLeaf, SfxStatus& status);
    // Removes the file this stream created for the current entry (its content is wrong).
    void DiscardCurrentFile();
    // Lists what was just created in the record; a failure is reported and ends the block.
    bool Record(const char* pszName, bool bFolder, SfxStatus& status);

    CString m_sFolder;
    CSafeFolder m_top;           // the output folder, held while the pack is written
    std::map<std::string, CSafeFolder> m_folders;   // the folders below it, by upper-case name
    CFilePackParser m_parser;
    CUniqueFile m_file;          // the current output file
    CString m_sPath;             // its path
    CSafeFolder* m_pFileFolder = nullptr;   // the folder of the current file
    std::string m_sFileName;     // its name there
    DWORD m_dwCreateError = 0;   // why the current file could not be made anew
    bool m_bCreated = false;     // this stream created the current file
    bool m_bVerifyExisting = false;
    CUnpackRecord m_record;
    LONG m_nRefs = 0;
};

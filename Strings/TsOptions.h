#pragma once
// The settings files: a buffered text file, one section of a profile file (Portable.ini),
// and the product's options file ("options.tso") read and written whole.
#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "framework/CString.h"

class TsTextFile {
public:
    TsTextFile() = default;
    ~TsTextFile() { Close(); }
    TsTextFile(const TsTextFile&) = delete;
    TsTextFile& operator=(const TsTextFile&) = delete;

    // Modes: "rb", "wb" (create or truncate), "r" (text reading).
    bool Open(const char* pszPath, const char* pszMode, CString& sError);
    // The next line without its LF and trailing CRs; false at the end with nothing read.
    bool ReadLine(CString& sLine);
    bool Write(const void* pBytes, size_t nCount, CString& sError);
    void Close();
    bool IsOpen() const { return m_pFile != nullptr; }

private:
    FILE* m_pFile = nullptr;
};

// One section of a profile file, read through the system's profile functions. An empty
// path, section or key makes every operation do nothing (reads give the default).
class CTsProfileSection {
public:
    CTsProfileSection(const char* pszSection, const char* pszFilePath)
        : m_sFilePath(pszFilePath), m_sSection(pszSection) {}
    virtual ~CTsProfileSection() = default;

    void GetString(const char* pszKey, CString& sValue, const char* pszDefault) const;  // at most 1023 characters
    bool GetBool(const char* pszKey, bool bDefault) const;  // exactly "TRUE" or "FALSE", else the default
    // Sets one key and leaves every other byte of the file as it was. The file is written
    // the way the options file is (a new file beside it, then one replace); a read-only file
    // is not made writable. False with "Cannot write <path>: <system text>" in sError.
    bool WriteString(const char* pszKey, const char* pszValue, CString& sError) const;
    bool WriteBool(const char* pszKey, bool bValue, CString& sError) const;

private:
    bool IsUsable(const char* pszKey) const;
    CString m_sFilePath;
    CString m_sSection;
};

// The file calls through which the settings files are read, written and replaced.
// Tests put failing ones here, to show what a full, flaky or pulled drive does.
struct TsOptionsFileCalls {
    decltype(&::CreateFileA) pfnCreateFileA;
    decltype(&::ReadFile) pfnReadFile;
    decltype(&::WriteFile) pfnWriteFile;
    decltype(&::FlushFileBuffers) pfnFlushFileBuffers;
    decltype(&::CloseHandle) pfnCloseHandle;
    decltype(&::MoveFileExA) pfnMoveFileExA;
};
extern const TsOptionsFileCalls kTsOptionsSystemFileCalls;
extern TsOptionsFileCalls g_tsOptionsFileCalls;

// True for the codes that mean "there is no such file"; a drive that is not ready, a
// denied access and the like mean that the file may well be there.
bool TsIsNoSuchFileError(DWORD dwError);
// Reads a whole file. False when it cannot be opened or a read fails before its end, with
// "Cannot open file '<path>'\nReason: ..." or "Cannot read file '<path>'\nReason: ..." in
// sError and the system's code in dwError.
bool TsReadWholeFile(const char* pszPath, std::string& sBytes, CString& sError, DWORD& dwError);
// Writes sText into "<path>.tmp", flushes it, and puts it in the file's place in one step,
// so that the file stays whole until its new content is on the disk. The new file keeps
// the old one's hidden and system attributes. A read-only file is made writable when
// bMakeWritable, else refused. On failure the new file is removed and sError/dwError say
// which step failed: "Cannot open file '<path>.tmp'...", "File cannot be written: ...",
// "Cannot replace file '<path>'...".
bool TsWriteFileSafely(const char* pszPath, const CString& sText, bool bMakeWritable, CString& sError,
                       DWORD& dwError);
// Where replacing a file is a delete and a rename (FAT), a drive pulled between the two
// leaves only "<path>.tmp", complete. When the file does not exist and that copy can be
// read, it is renamed into place. True when the file is there afterwards; the log says
// what was done.
bool TsRestoreReplacedFile(const char* pszPath);

class CTsOptions {
public:
    enum LoadState { NotLoaded = 0, NoFile = 1, Corrupt = 2, Loaded = 3 };

    CTsOptions() = default;
    virtual ~CTsOptions() { Clear(); }
    CTsOptions(const CTsOptions&) = delete;
    CTsOptions& operator=(const CTsOptions&) = delete;

    // pszFileName null: "options.tso". A null folder empties the path.
    void SetPath(const char* pszFolder, const char* pszFileName = nullptr);
    const CString& GetPath() const { return m_sPath; }
    // True when loaded or when there is no file (an empty set); false with the reason.
    bool Load(CString& sError);
    bool Get(CString& sValue, const char* pszSectionHeader, const char* pszName, CString& sError) const;
    void Set(const char* pszValue, const char* pszSectionHeader, const char* pszName);
    // Loading: a read that fails before the end of the file leaves the state NotLoaded.
    // Where the file is missing and "<file>.tmp" (the new copy of a save that was cut off
    // between the delete and the rename of the replace) is there, that copy is the file: it
    // is renamed into place, or, when that cannot be done, read and put in place by the
    // next save. When both are there, the file wins and the copy stays until a save.
    //
    // Saving writes the whole set into "<file>.tmp" beside the file, then puts it in the
    // file's place in one step: the old file stays whole until the new one is on the disk.
    // A file that exists but could not be read (a failed load, or an object never loaded)
    // is never overwritten; a corrupt one is first kept as "<file>.bak". After a successful
    // save the load state is Loaded: the file holds this set.
    bool Save(CString& sError);
    void Clear();
    LoadState GetLoadState() const { return m_loadState; }
    // The saved text of the current content (what Save writes).
    bool BuildText(CString& sText, CString& sError) const;

    bool m_bModified = false;

private:
    // Section headers and value names hash as h = h * 33 + c into 17 buckets; a bucket lists
    // its newest key first. Saved files follow this order.
    template <class V> class CHashMap {
    public:
        V* Find(const CString& sKey) const;
        V& At(const CString& sKey);  // inserts an empty value when missing
        template <class F> void ForEach(F f) const
        {
            for (const auto& bucket : m_buckets)
                for (const auto& kv : bucket)
                    f(kv.first, kv.second);
        }
        void Clear() { for (auto& b : m_buckets) b.clear(); }
        bool IsEmpty() const;
    private:
        static unsigned Hash(const CString& sKey);
        std::vector<std::pair<CString, V>> m_buckets[17];
    };
    using Section = CHashMap<CString>;

    CString m_sPath;
    CHashMap<Section*> m_sections;
    LoadState m_loadState = NotLoaded;
    // Load found a file (or its new copy) that it could not read: saving is refused.
    bool m_bUnreadable = false;
    // The file the set was read from: the path, or its new copy "<path>.tmp" that could not
    // be put in place yet.
    CString m_sReadFrom;
};

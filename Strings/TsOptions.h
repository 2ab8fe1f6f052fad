#pragma once
// The settings files: a buffered text file, one section of a profile file (Portable.ini),
// and the product's options file ("options.tso") read and written whole.
#include <windows.h>

#include <cstdio>
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

// One section of a profile file, through the system's profile functions. An empty path,
// section or key makes every operation do nothing (reads give the default).
class CTsProfileSection {
public:
    CTsProfileSection(const char* pszSection, const char* pszFilePath)
        : m_sFilePath(pszFilePath), m_sSection(pszSection) {}
    virtual ~CTsProfileSection() = default;

    void GetString(const char* pszKey, CString& sValue, const char* pszDefault) const;  // at most 1023 characters
    bool GetBool(const char* pszKey, bool bDefault) const;  // exactly "TRUE" or "FALSE", else the default
    void WriteString(const char* pszKey, const char* pszValue) const;
    void WriteBool(const char* pszKey, bool bValue) const;

private:
    bool IsUsable(const char* pszKey) const;
    CString m_sFilePath;
    CString m_sSection;
};

// The file calls through which CTsOptions::Save writes and replaces the options file.
// Tests put failing ones here, to show what a full or pulled drive does.
struct TsOptionsFileCalls {
    decltype(&::WriteFile) pfnWriteFile;
    decltype(&::FlushFileBuffers) pfnFlushFileBuffers;
    decltype(&::CloseHandle) pfnCloseHandle;
    decltype(&::MoveFileExA) pfnMoveFileExA;
};
extern const TsOptionsFileCalls kTsOptionsSystemFileCalls;
extern TsOptionsFileCalls g_tsOptionsFileCalls;

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
    // Writes the whole set into "<file>.tmp" beside the file, then puts it in the file's
    // place in one step: the old file stays whole until the new one is on the disk. A file
    // that exists but could not be read (load state NotLoaded) is never overwritten; a
    // corrupt one is first kept as "<file>.bak". After a successful save the load state is
    // Loaded: the file holds this set.
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
};

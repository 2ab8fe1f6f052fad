#pragma once
// The record of what an unpack wrote: a list in the folder it fills, kept as the unpack goes,
// so that a stop, or the cleanup after a failed start, removes what we wrote and nothing of
// the user's, even after a crash. One line per entry, relative to that folder; a folder the
// unpack created ends in a backslash. Every block of a run, and every later run into the
// same folder, adds to the same record: files that a run replaced stay listed.
#include <windows.h>

#include <set>
#include <string>
#include <vector>

// The record's name in the folder it describes.
extern const char kUnpackRecordName[];

class CUnpackRecord {
public:
    // pszFolder: the folder the unpack fills, without trailing backslash.
    explicit CUnpackRecord(const char* pszFolder);
    ~CUnpackRecord();
    CUnpackRecord(const CUnpackRecord&) = delete;
    CUnpackRecord& operator=(const CUnpackRecord&) = delete;

    // Lists a file, or with bFolder a folder, that the unpack has just created, by its name
    // relative to the folder. The record is opened (or made) on the first call; an entry it
    // already holds is not written twice. True when the line is in the file; false with
    // the system's error otherwise.
    bool Add(const char* pszName, bool bFolder, DWORD& dwError);
    const std::string& Path() const { return m_sPath; }

private:
    bool Open(DWORD& dwError);
    bool WriteText(const std::string& s, DWORD& dwError);

    std::string m_sPath;
    HANDLE m_h = INVALID_HANDLE_VALUE;
    std::set<std::string> m_known;   // entries as written, upper case
};

// The entries of a record's text: names that pass IsSafePackEntryName, files and folders
// apart (the folders without their backslash). A line that is not ended (cut off by a
// crash) and every line that is no safe entry name are passed over.
void ParseUnpackRecord(const std::string& sText, std::vector<std::string>& files, std::vector<std::string>& folders);

// Removes what an unpack into pszFolder wrote: the files its record lists and the folders the unpack made
// (when empty, innermost first), then the record; pszFolder itself stays. Without a record (a folder filled
// by an older starter) it empties "\Firefox\components", "\Firefox\chrome", "\Firefox" (removing each when
// emptied) and then the files directly in pszFolder. Never through a link: a subfolder that is a link is
// removed as a link only. The caller has validated pszFolder. True when everything went.
bool RemoveUnpackedFiles(const char* pszFolder);

// Removes what the record of pszFolder lists, as RemoveUnpackedFiles does, but nothing at
// all without a record (*pbHadRecord false, result true). The record stays when something
// it lists could not be removed, so that a later attempt still finds it.
bool RemoveRecordedFiles(const char* pszFolder, bool* pbHadRecord = nullptr);

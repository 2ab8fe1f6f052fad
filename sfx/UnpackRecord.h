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

class CSafeFolder;

// Removes what the record of an unpack folder lists: the files, then the folders the unpack
// made (when empty, innermost first), then the record; the folder itself stays. Never
// through a link: a link in the place of a listed folder is removed as the link, and what
// the record lists below it counts as gone. Without a record nothing at all is removed
// (*pbHadRecord false, result true): nothing in the folder is known to be ours. The record
// stays when something it lists could not be removed, so that a later attempt still finds
// it. True when everything went.
bool RemoveRecordedFiles(CSafeFolder& folder, bool* pbHadRecord = nullptr);
// The same for the folder pszFolder, opened from its volume root (a missing folder has
// nothing to remove; one reached through a link is refused).
bool RemoveRecordedFiles(const char* pszFolder, bool* pbHadRecord = nullptr);

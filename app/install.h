// The installation step that does not depend on the dialogs: finding the
// install folder in the uninstall command line, and copying one archive entry
// over a file of the install folder.
#pragma once

#include "ekisa/ekisa_archive.h"
#include "esl/string.h"

// Display texts and messages of the installer (Shift-JIS in the program).
extern const char kMessageCaption[];     // caption of every message box
extern const char kGameWindowTitle[];    // title of the running game's window

// Whether path names an existing file (not a folder).
bool NamesExistingFile(const char* path);

// The folder of the program named by an uninstall command line, with its
// final separator: the path in double quotes, or else up to the first white
// space; then everything up to and including its last '\' or '/'. Empty when
// the path has no separator. An unquoted path whose first word names no file
// (namesFile) is taken, when a longer prefix ending before a blank does, up
// to the shortest such prefix: the program a folder with spaces holds.
EString InstallFolderFromCommand(const EString& command, bool (*namesFile)(const char* path) = NamesExistingFile);

// What the copy reports while it runs; the progress dialog shows it.
class InstallObserver {
public:
    virtual ~InstallObserver() {}
    // Paces the display so that each file's status line stays readable.
    virtual void Pause(unsigned int milliseconds) = 0;
    // The copy of a file starts: the status text, position 0, range 0 to 100.
    virtual void OnStart(const char* status) = 0;
    // After each chunk: done * 100 / total, rounded (MulDiv; -1 for a total of 0).
    virtual void OnProgress(int position) = 0;
};

// Installs the archive entry fileName as folder + fileName. The new content
// is written to a temporary file in the folder and replaces the old file only
// once the whole entry was read, checked and written, so a failure leaves the
// old file as it was. Files that another program holds for a moment (a virus
// scanner) are waited for a few seconds. Returns null on success; otherwise result holds the
// message for the user and the return value is its text.
const char* InstallArchiveEntry(EKISAArchive& archive, const EString& folder, const char* fileName,
                                const char* displayName, InstallObserver* observer, EString& result);

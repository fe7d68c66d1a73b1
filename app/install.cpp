#include "app/install.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "esl/file.h"

const char kMessageCaption[] = "ミルトア修正パッチ";
const char kGameWindowTitle[] = "ミルトア";

namespace {

const uint32_t kChunkSize = 0x10000;

// Virus scanners and indexers open a file that was just written, or the file
// about to be replaced, for a moment; while they hold it, opening, renaming or
// deleting it fails with a sharing violation or an access denial. Those are
// tried again for a few seconds before they count as failures.
const DWORD kLockedWaitMs = 5000;
const DWORD kLockedStepMs = 100;

bool IsPassingLock(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// Runs attempt (which leaves the system's error code set when it fails) until
// it succeeds, fails for another reason, or the wait is over.
template <class Attempt>
bool RetryWhileLocked(Attempt attempt) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (attempt())
            return true;
        if (!IsPassingLock(::GetLastError()) || ::GetTickCount() - start >= kLockedWaitMs)
            return false;
        ::Sleep(kLockedStepMs);
    }
}

// Whether the file at path could be replaced now: true when it does not
// exist, or when it may be opened for writing and deleting (not read-only,
// not held open by a program that shares neither, such as the running game).
bool CanReplace(const char* path) {
    // Checked by attribute as well: an administrator's handle may be granted
    // write access to a read-only file, yet the file is not to be replaced.
    DWORD attributes = ::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        return false;
    return RetryWhileLocked([path] {
        HANDLE handle = ::CreateFileA(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return ::GetLastError() == ERROR_FILE_NOT_FOUND;
        ::CloseHandle(handle);
        return true;
    });
}

// A new, empty, uniquely named file in the folder ("." when the folder is
// empty: the files then go to the current directory).
bool MakeTemporaryFile(const EString& folder, char (&path)[MAX_PATH]) {
    const char* directory = folder.IsEmpty() ? "." : folder.CharPtr();
    return ::GetTempFileNameA(directory, "mtp", 0, path) != 0;
}

// Removes the temporary file after a failure. One that stays locked is left
// to the system to remove at the next start (the installer runs elevated).
void RemoveTemporaryFile(const char* path) {
    const bool removed = RetryWhileLocked([path] {
        return ::DeleteFileA(path) != 0 || ::GetLastError() == ERROR_FILE_NOT_FOUND;
    });
    if (!removed)
        ::MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// Whether an unquoted program path names an existing file; as Windows does
// when it starts such a path, ".exe" is tried too when the name has no
// extension.
bool NamesProgram(const wchar16* text, unsigned int length, bool (*namesFile)(const char* path)) {
    EString path(text, static_cast<int>(length));
    if (namesFile(path.CharPtr()))
        return true;
    for (unsigned int i = length; i > 0; --i) {
        const wchar16 c = text[i - 1];
        if (c == u'.')
            return false;
        if (c == u'\\' || c == u'/')
            break;
    }
    path += ".exe";
    return namesFile(path.CharPtr());
}

}  // namespace

bool NamesExistingFile(const char* path) {
    const DWORD attributes = ::GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

EString InstallFolderFromCommand(const EString& command, bool (*namesFile)(const char* path)) {
    EStreamWideString stream(command.CharPtr());
    static const wchar16 kQuote[] = {u'"', 0};
    EWideString path;
    if (stream.TakeIfOneOf(kQuote) == u'"') {
        path = stream.GetStringUntil(u'"');
    } else {
        const unsigned int start = stream.GetPosition();
        path = stream.GetWord();
        // An unquoted path in a folder with spaces ("C:\My Games\uninst.exe /x")
        // would otherwise end at its first space and name the wrong folder.
        // Resolved as Windows resolves such a command: the shortest prefix
        // that ends before a blank and names an existing file.
        const wchar16* text = stream.CharPtr();
        const unsigned int length = stream.GetLength();
        const unsigned int wordEnd = stream.GetPosition();
        if (namesFile != nullptr && wordEnd < length && !NamesProgram(path.CharPtr(), path.GetLength(), namesFile)) {
            for (unsigned int end = wordEnd + 1; end <= length; ++end) {
                if ((end < length && text[end] > u' ') || text[end - 1] <= u' ')
                    continue;
                if (NamesProgram(text + start, end - start, namesFile)) {
                    path = EWideString(text + start, static_cast<int>(end - start));
                    break;
                }
            }
        }
    }
    EString narrow(path.CharPtr(), static_cast<int>(path.GetLength()));
    return narrow.GetDirectoryPart();
}

const char* InstallArchiveEntry(EKISAArchive& archive, const EString& folder, const char* fileName,
                                const char* displayName, InstallObserver* observer, EString& result) {
    if (archive.OpenFile(fileName, nullptr, 1) != eslResultSuccess) {
        result = "パッチデータに";
        result += displayName;
        result += "が含まれていません。";
        return result.CharPtr();
    }

    EString target(folder);
    target += fileName;
    char temporary[MAX_PATH];
    if (!CanReplace(target.CharPtr()) || !MakeTemporaryFile(folder, temporary)) {
        archive.AscendFile();
        result = displayName;
        result += "を開けませんでした。";
        return result.CharPtr();
    }
    // Shared for reading: a scanner that looks at the new file while it is
    // written then holds up only the replace, which waits for it.
    ERawFile file;
    if (!RetryWhileLocked([&] {
            return file.Open(temporary, ESLFileObject::modeCreate | ESLFileObject::modeWrite |
                                            ESLFileObject::shareRead) == eslResultSuccess;
        })) {
        RemoveTemporaryFile(temporary);
        archive.AscendFile();
        result = displayName;
        result += "を開けませんでした。";
        return result.CharPtr();
    }

    const uint32_t total = archive.GetLength();
    EStreamBuffer scratch;
    uint8_t* buffer = static_cast<uint8_t*>(scratch.PutBuffer(kChunkSize));

    observer->Pause(200);
    EString status(displayName);
    status += "をインストールしています…";
    observer->OnStart(status.CharPtr());

    // A chunk shorter than the chunk size ends the entry (0 bytes when the
    // length is a multiple of it).
    uint32_t done = 0;
    bool written = buffer != nullptr;
    while (written) {
        uint32_t count = archive.Read(buffer, kChunkSize);
        if (file.Write(buffer, count) != count) {
            written = false;
            break;
        }
        done += count;
        observer->OnProgress(::MulDiv(static_cast<int>(done), 100, static_cast<int>(total)));
        if (count < kChunkSize)
            break;
    }
    file.Close();
    if (!written) {
        RemoveTemporaryFile(temporary);
        archive.AscendFile();
        result = displayName;
        result += "への書き出し中にエラーが発生しました。\nディスクの空き容量を確認し、再びパッチをインストールしてください。";
        return result.CharPtr();
    }

    // A decoder that stops early delivers fewer bytes than the entry holds,
    // and a coded entry whose bytes were damaged fails its checksum: either
    // way the data must not replace the game's file.
    ESLResult checked = archive.AscendFile();
    if (done != total || checked != eslResultSuccess) {
        RemoveTemporaryFile(temporary);
        result = displayName;
        result += "のパッチデータが壊れています。";
        return result.CharPtr();
    }
    if (!RetryWhileLocked([&] {
            return ::MoveFileExA(temporary, target.CharPtr(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        })) {
        RemoveTemporaryFile(temporary);
        result = displayName;
        result += "を開けませんでした。";
        return result.CharPtr();
    }
    observer->Pause(500);
    return nullptr;
}

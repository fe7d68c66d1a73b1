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

// Whether the file at path could be replaced now: true when it does not
// exist, or when it may be opened for writing and deleting (not read-only,
// not held open by a program that shares neither, such as the running game).
bool CanReplace(const char* path) {
    // Checked by attribute as well: an administrator's handle may be granted
    // write access to a read-only file, yet the file is not to be replaced.
    DWORD attributes = ::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        return false;
    HANDLE handle = ::CreateFileA(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    ::CloseHandle(handle);
    return true;
}

// A new, empty, uniquely named file in the folder ("." when the folder is
// empty: the files then go to the current directory).
bool MakeTemporaryFile(const EString& folder, char (&path)[MAX_PATH]) {
    const char* directory = folder.IsEmpty() ? "." : folder.CharPtr();
    return ::GetTempFileNameA(directory, "mtp", 0, path) != 0;
}

}  // namespace

EString InstallFolderFromCommand(const EString& command) {
    EStreamWideString stream(command.CharPtr());
    static const wchar16 kQuote[] = {u'"', 0};
    EWideString path;
    if (stream.TakeIfOneOf(kQuote) == u'"')
        path = stream.GetStringUntil(u'"');
    else
        path = stream.GetWord();
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
    ERawFile file;
    if (file.Open(temporary, ESLFileObject::modeCreate | ESLFileObject::modeWrite) != eslResultSuccess) {
        ::DeleteFileA(temporary);
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
        ::DeleteFileA(temporary);
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
        ::DeleteFileA(temporary);
        result = displayName;
        result += "のパッチデータが壊れています。";
        return result.CharPtr();
    }
    if (!::MoveFileExA(temporary, target.CharPtr(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileA(temporary);
        result = displayName;
        result += "を開けませんでした。";
        return result.CharPtr();
    }
    observer->Pause(500);
    return nullptr;
}

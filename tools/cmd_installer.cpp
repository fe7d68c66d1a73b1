// ekisa installer: a patch installer made from the installer stub and an
// archive, without a compiler.
//
// The stub is the installer program built with a placeholder as its patch
// data. Without --stub the tool takes patch_installer_stub.exe from its own
// folder: the two files together are the patch maker's kit.
#include "cli.h"
#include "pe_resource.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

typedef std::vector<uint8_t> Bytes;

const char kStubName[] = "patch_installer_stub.exe";

// The files the installer installs, with the names its check boxes show.
struct Installed {
    const char* name;
    const char* box;
};
const Installed kInstalled[] = {{"quorvel.exe", "EXE ファイル"}, {"script.eka", "スクリプトファイル"}};

// Japanese text of the installer (Shift-JIS) in the local character set.
std::string Local(const std::string& cp932) {
    std::string local;
    FromArchiveName(cp932, &local);
    return local;
}

// The stub of the kit: beside this program (the Windows kit, a build
// folder), else in ../share/ekisa/ (installed from the package, or the
// package unpacked anywhere). Empty when neither has it; *tried lists both.
std::string FindStub(std::string* tried) {
    const std::string folder = ProgramFolder();
    const std::string base = folder.empty() ? "." : folder;
    const std::string places[] = {JoinPath(base, kStubName), JoinPath(JoinPath(base, "../share/ekisa"), kStubName)};
    for (const std::string& place : places) {
        const FileStatus status = GetTargetStatus(place);
        if (status.exists && !status.isDirectory) return place;
        *tried += (tried->empty() ? "" : ", ") + place;
    }
    return std::string();
}

// Reads the archive as the installer will: opened in memory, the two files
// taken from its root by name, without a password, read to their end. False
// when the installer would fail or install wrong bytes; warnings for what
// the installer would report.
bool CheckArchive(const std::string& path, Bytes& bytes) {
    EMemoryFile memory;
    EKISAArchive archive;
    memory.Open(bytes.data(), uint32_t(bytes.size()));
    if (archive.Open(&memory, nullptr) != eslResultSuccess) {
        Error(path + ": not a readable EKISA archive; the installer would report \"" +
              Local("パッチデータを開けませんでした。") + "\"");
        return false;
    }
    bool ok = true;
    int usable = 0;
    for (const Installed& file : kInstalled) {
        const std::string where = path + ": " + file.name;
        const EKISAFileEntry* entry = archive.GetCurrentLevel()->FindEntry(file.name);
        if (entry == nullptr || entry->IsDirectory()) {
            Warning(where + (entry == nullptr ? " is not in the archive's root" : " is a folder") + "; when \"" +
                    Local(file.box) + "\" is ticked, the installer reports \"" +
                    Local(std::string("パッチデータに") + file.box + "が含まれていません。") + "\"");
            continue;
        }
        const uint32_t type = entry->encodeType;
        std::string problem = OpenEntry(archive, file.name, type, nullptr);
        if (problem.empty())
            problem = ReadEntry(archive, file.name, type, false, [](const uint8_t*, uint32_t) { return true; });
        if (!problem.empty()) {
            const bool crypt = type == ekisaEncodeBshfCrypt || type == ekisaEncodeCrypt;
            Error(where + ": " + problem + (crypt ? "; the installer has only the default password" : "") +
                  "; the installer would install wrong bytes");
            ok = false;
            continue;
        }
        ++usable;
    }
    std::string others;
    int count = 0;
    EKISADirectory* root = archive.GetCurrentLevel();
    for (unsigned i = 0; i < root->GetSize(); ++i) {
        const EKISAFileEntry* e = root->GetAt(i);
        if (e == nullptr || e->name == nullptr) continue;
        bool installed = false;
        for (const Installed& file : kInstalled) installed |= EKISAEntryList::NamesMatch(e->name, file.name) != 0;
        if (installed) continue;
        std::string local;
        FromArchiveName(e->name, &local);
        if (count++ < 5) others += (others.empty() ? "" : ", ") + Quoted(Shown(local) + (e->IsDirectory() ? "/" : ""));
    }
    if (count > 0)
        Warning(path + ": the installer ignores " + others + (count > 5 ? " and " + std::to_string(count - 5) + " more" : ""));
    if (ok && usable == 0) {
        Error(path + ": holds neither quorvel.exe nor script.eka; the installer would install nothing");
        ok = false;
    }
    return ok;
}

int RunInstaller(const std::vector<std::string>& args) {
    std::string archivePath, output, stub;
    bool force = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-o") {
            if (++i == args.size() || args[i].empty()) return UsageError("installer", "-o needs a PATCH.exe");
            output = args[i];
        } else if (a == "--stub") {
            if (++i == args.size() || args[i].empty()) return UsageError("installer", "--stub needs a STUB.exe");
            stub = args[i];
        } else if (a == "-f") {
            force = true;
        } else if (!a.empty() && a[0] == '-') {
            return UsageError("installer", "unknown option " + Quoted(a));
        } else if (archivePath.empty()) {
            archivePath = a;
        } else {
            return UsageError("installer", "unexpected argument " + Quoted(a));
        }
    }
    if (archivePath.empty()) return UsageError("installer", "ARCHIVE missing");
    if (output.empty()) return UsageError("installer", "-o PATCH.exe missing");
    if (stub.empty()) {
        std::string tried;
        stub = FindStub(&tried);
        if (stub.empty()) {
            Error(std::string("no installer stub: ") + kStubName + " is neither beside this program nor in " +
                  "../share/ekisa/ (" + tried + "); name one with --stub STUB.exe");
            return kExitFailed;
        }
    }

    Bytes archive, image, result;
    // An earlier patch installer gives its patch data, for a new stub.
    if (!ReadWholeFile(archivePath, &archive) || (IsProgram(archive) && !TakePatchData(archivePath, &archive)) ||
        !CheckArchive(archivePath, archive))
        return kExitFailed;
    if (!ReadWholeFile(stub, &image)) return kExitFailed;
    if (peresource::IsSigned(image)) {
        Error(stub + ": is signed; adding the patch data would break the signature. Build the patch installer "
                     "from the unsigned stub, then sign the patch installer");
        return kExitFailed;
    }
    const peresource::ResourceKey type = peresource::ResourceKey::Name(kPatchDataType);
    const peresource::ResourceKey id = peresource::ResourceKey::Id(kPatchDataId);
    std::string why = peresource::SetResource(image, type, id, archive.data(), archive.size(), &result);
    if (!why.empty()) {
        Error(stub + ": " + why + "; it cannot be the installer stub");
        return kExitFailed;
    }
    bool found = false;
    Bytes placeholder;
    peresource::ReadResource(image, type, id, &found, &placeholder);
    if (!found) Warning(stub + ": has no patch data to replace; is it the installer stub?");
    Bytes check;
    if (!peresource::ReadResource(result, type, id, &found, &check).empty() || !found || check != archive) {
        Error(stub + ": the patch data does not read back from the new program; nothing written");
        return kExitFailed;
    }

    if (force && (SameFile(output, stub) || SameFile(output, archivePath))) {
        Error(output + ": is the " + (SameFile(output, stub) ? "stub" : "archive") + " it would be made from");
        return kExitFailed;
    }
    ReplacingOutput replacing(output, force);
    if (!replacing.Begin()) return kExitFailed;
    const std::string& temp = replacing.TempPath();
    ERawFile file;
    std::string problem;
    if (file.Open(temp.c_str(), ESLFileObject::modeCreate | ESLFileObject::modeWrite) != eslResultSuccess ||
        file.Write(result.data(), uint32_t(result.size())) != result.size())
        problem = "cannot write " + temp + ": " + LastErrorText();
    file.Close();
    return replacing.Finish(problem);
}

}  // namespace

const Command kInstallerCommand = {
    "installer", "ARCHIVE -o PATCH.exe [--stub STUB.exe] [-f]", "make a patch installer around an archive",
    "Writes PATCH.exe: a copy of the installer stub that carries ARCHIVE as its\n"
    "patch data. The stub itself is not changed.\n"
    "  -o PATCH.exe     the patch installer to write\n"
    "  --stub STUB.exe  the installer stub (default: patch_installer_stub.exe\n"
    "                   beside this program, else in ../share/ekisa/ from it)\n"
    "  -f               replace PATCH.exe if it exists\n"
    "ARCHIVE is first read as the installer will read it: \"quorvel.exe\" and\n"
    "\"script.eka\" from its root, with the default password, to their end. A\n"
    "damaged archive, or an entry that does not read back with the default\n"
    "password, is refused; a missing entry gets a warning that says what the\n"
    "installer would report. ARCHIVE may also be an earlier patch installer:\n"
    "its patch data goes into the new one.\n"
    "Sign PATCH.exe after making it, not the stub: a signature covers every\n"
    "byte, so a signed stub is refused.\n",
    RunInstaller};

}  // namespace ekisatool

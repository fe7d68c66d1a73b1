// ekisa installer: a patch installer made from the installer stub and an
// archive, without a compiler.
//
// The stub is the installer program built with a placeholder as its patch
// data. Without --stub the tool takes patch_installer_stub.exe from its own
// folder: the two files together are the patch maker's kit.
#include <string.h>

#include <algorithm>

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
    bool program;  // the game's program, which must run
};
const Installed kInstalled[] = {{"quorvel.exe", "EXE ファイル", true}, {"script.eka", "スクリプトファイル", false}};
// The game program's headers are read from its first bytes.
const size_t kHeadBytes = 65536;

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

// What is wrong with the game program quorvel.exe, from its first bytes and
// its size, for an installer stub built for `machine`; "" when it is a
// readable Windows program for that machine.
std::string GameProgramProblem(const Bytes& head, uint64_t size, uint16_t machine) {
    if (size == 0) return "is empty";
    peresource::ProgramInfo info;
    const std::string why = peresource::ReadProgramHeaders(head, size, &info);
    if (!why.empty()) return "is not a readable Windows program: " + why;
    if (!info.IsExecutable()) return "is not a Windows program but a library (DLL) or an object file";
    if (info.machine != machine)
        return "is a Windows program for " + peresource::MachineName(info.machine) + ", not for " +
               peresource::MachineName(machine) + " as the installer";
    return std::string();
}

// Reads the archive as the installer will: the two files taken from its root
// by name, without a password, read to their end. False when the installer
// would fail or install wrong bytes, or quorvel.exe is no program for
// `machine` (unless checkExe is off); warnings for what the installer would
// report.
bool CheckArchive(const std::string& path, EKISAArchive& archive, uint16_t machine, bool checkExe) {
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
        const uint64_t size = entry->fileSize;
        EntryLine(file.name);
        Bytes head;
        std::string problem = OpenEntry(archive, file.name, type, nullptr);
        if (problem.empty())
            problem = ReadEntry(archive, file.name, type, false, [&head](const uint8_t* data, uint32_t n) {
                const size_t keep = std::min<size_t>(n, kHeadBytes - std::min(head.size(), kHeadBytes));
                head.insert(head.end(), data, data + keep);
                return true;
            });
        if (!problem.empty()) {
            const bool crypt = type == ekisaEncodeBshfCrypt || type == ekisaEncodeCrypt;
            Error(where + ": " + problem + (crypt ? "; the installer has only the default password" : "") +
                  "; the installer would install wrong bytes");
            ok = false;
            continue;
        }
        if (file.program) {
            problem = GameProgramProblem(head, size, machine);
            if (!problem.empty() && checkExe) {
                Error(where + " " + problem + "; every player would get a broken game program (--no-exe-check ships "
                                              "it anyway)");
                ok = false;
                continue;
            }
            if (!problem.empty()) Warning(where + " " + problem + "; shipped as it is (--no-exe-check)");
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

// Refuses what is not a stub or patch installer of this kit, by the mark
// every one carries, before anything of it is read whole.
bool CheckStub(const std::string& stub) {
    const FileStatus status = GetTargetStatus(stub);
    if (!status.exists || status.isDirectory) {
        Error(stub + (status.exists ? ": is a folder" : ": no such file"));
        return false;
    }
    ToolFile file;
    if (file.Open(stub, ESLFileObject::modeRead | ESLFileObject::shareRead) != eslResultSuccess) {
        Error(stub + ": cannot open: " + LastErrorText());
        return false;
    }
    bool found = false;
    uint64_t at = 0, size = 0;
    const peresource::ImageReader reader = ReaderOf(file, status.size);
    const std::string why = peresource::LocateResource(reader, peresource::ResourceKey::Name(kPatchDataType),
                                                       peresource::ResourceKey::Id(kKitMarkId), &found, &at, &size);
    const std::string notStub = "; it cannot be the installer stub";
    if (!why.empty()) {
        Error(stub + ": " + why + notStub);
        return false;
    }
    Bytes mark(sizeof(kKitMark) - 1);
    if (!found || size != mark.size() || !reader.read(at, mark.size(), mark.data()) ||
        memcmp(mark.data(), kKitMark, mark.size()) != 0) {
        Error(stub + ": not an installer stub of this kit (it lacks the kit's mark, resource " + ResourceName(kKitMarkId) +
              "); give patch_installer_stub.exe or a patch installer made from it");
        return false;
    }
    return true;
}

// Writes the program of layout with the archive's bytes in its hole, then
// the digest of those bytes and the checksum that covers them.
std::string WriteProgram(ToolFile& out, peresource::Layout& layout, ArchiveInput& input) {
    const Bytes& b = layout.bytes;
    auto put = [&out](const uint8_t* data, size_t n) {
        return out.Write(data, uint32_t(n)) == n ? std::string() : "cannot write: " + out.WriteProblem();
    };
    std::string problem = put(b.data(), layout.holeAt);
    if (!problem.empty()) return problem;
    Sha256 sha;
    peresource::ChecksumAccumulator hole;
    const bool copied = input.ReadBytes([&](const uint8_t* data, uint32_t n, uint64_t done) {
        sha.Add(data, n);
        hole.Add(layout.holeAt + done, data, n);
        problem = put(data, n);
        return problem.empty();
    });
    if (!problem.empty()) return problem;
    if (!copied) return "the archive could not be copied";
    problem = put(b.data() + layout.holeAt, b.size() - layout.holeAt);
    if (!problem.empty()) return problem;
    uint8_t record[kDigestRecordSize];
    memcpy(record, kDigestTag, sizeof(kDigestTag));
    std::string why;
    if (!sha.Finish(record + sizeof(kDigestTag), &why)) return why;
    memcpy(&layout.bytes[size_t(layout.dataAt[1])], record, sizeof(record));
    const uint32_t checksum = peresource::Checksum(layout, hole);
    const uint8_t field[4] = {uint8_t(checksum), uint8_t(checksum >> 8), uint8_t(checksum >> 16),
                              uint8_t(checksum >> 24)};
    if (out.Seek(int32_t(layout.dataAt[1]), ESLFileObject::FromBegin) != layout.dataAt[1] ||
        !(problem = put(record, sizeof(record))).empty() ||
        out.Seek(int32_t(layout.checksumAt), ESLFileObject::FromBegin) != layout.checksumAt ||
        !(problem = put(field, sizeof(field))).empty())
        return problem.empty() ? "cannot write: " + LastErrorText() : problem;
    return std::string();
}

// The new program's resources read back where they were laid.
std::string CheckWritten(const std::string& path, const peresource::Layout& layout, uint64_t archiveSize) {
    ToolFile out;
    if (out.Open(path, ESLFileObject::modeRead | ESLFileObject::shareRead) != eslResultSuccess)
        return "cannot read " + path + " back: " + LastErrorText();
    const uint16_t ids[2] = {kPatchDataId, kDigestId};
    const uint64_t sizes[2] = {archiveSize, kDigestRecordSize};
    const peresource::ImageReader reader = ReaderOf(out, layout.bytes.size() + layout.holeSize);
    for (int i = 0; i < 2; ++i) {
        bool found = false;
        uint64_t at = 0, size = 0;
        const std::string why = peresource::LocateResource(reader, peresource::ResourceKey::Name(kPatchDataType),
                                                           peresource::ResourceKey::Id(ids[i]), &found, &at, &size);
        if (!why.empty() || !found || at != layout.dataAt[size_t(i)] || size != sizes[i])
            return "resource " + ResourceName(ids[i]) + " does not read back from the new program" +
                   (why.empty() ? std::string() : ": " + why);
    }
    return std::string();
}

int RunInstaller(const std::vector<std::string>& args) {
    std::string archivePath, output, stub, why;
    bool force = false, checkExe = true, optionsDone = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool option = !optionsDone && !a.empty() && a[0] == '-';
        if (option && a == "-o") {
            if (++i == args.size() || args[i].empty()) return UsageError("installer", "-o needs a PATCH.exe");
            output = args[i];
        } else if (option && a == "--stub") {
            if (++i == args.size() || args[i].empty()) return UsageError("installer", "--stub needs a STUB.exe");
            stub = args[i];
        } else if (option && a == "-f") {
            force = true;
        } else if (option && a == "--no-exe-check") {
            checkExe = false;
        } else if (option) {
            if (!TakeSharedOption(a, &optionsDone, &why)) return UsageError("installer", why);
        } else if (archivePath.empty()) {
            archivePath = a;
        } else {
            return UsageError("installer", "unexpected argument " + Quoted(Printable(a)));
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

    Bytes image;
    if (!CheckStub(stub) || !ReadWholeFile(stub, &image)) return kExitFailed;
    if (peresource::IsSigned(image)) {
        Error(stub + ": is signed; adding the patch data would break the signature. Build the patch installer "
                     "from the unsigned stub, then sign the patch installer");
        return kExitFailed;
    }
    peresource::ProgramInfo stubInfo;
    why = peresource::ReadProgramHeaders(image, image.size(), &stubInfo);
    if (!why.empty()) {
        Error(stub + ": " + why + "; it cannot be the installer stub");
        return kExitFailed;
    }
    // An earlier patch installer gives its patch data, for a new stub.
    ArchiveInput input;
    const std::string consequence = "; the installer would report \"" + Local("パッチデータを開けませんでした。") + "\"";
    if (!input.Open(archivePath, consequence) || !CheckArchive(archivePath, input.Archive(), stubInfo.machine, checkExe))
        return kExitFailed;
    if (input.Size() > kMaxProgram) {
        Error(archivePath + ": too large for a patch installer (" + Grouped(input.Size()) +
              " bytes; Windows maps no program of 2 GiB)");
        return kExitFailed;
    }

    const peresource::ResourceKey type = peresource::ResourceKey::Name(kPatchDataType);
    std::vector<peresource::NewResource> resources(2);
    resources[0].type = resources[1].type = type;
    resources[0].name = peresource::ResourceKey::Id(kPatchDataId);
    resources[0].size = size_t(input.Size());  // its bytes are copied from the archive
    const uint8_t placeholder[kDigestRecordSize] = {};
    resources[1].name = peresource::ResourceKey::Id(kDigestId);
    resources[1].data = placeholder;
    resources[1].size = sizeof(placeholder);
    peresource::Layout layout;
    why = peresource::SetResources(image, resources, &layout);
    if (!why.empty()) {
        Error(stub + ": " + why + "; it cannot be the installer stub");
        return kExitFailed;
    }
    bool found = false;
    size_t at = 0, size = 0;
    peresource::LocateResource(image, type, resources[0].name, &found, &at, &size);
    if (!found) Warning(stub + ": has no patch data to replace; is it the installer stub?");

    if (force && (SameFile(output, stub) || SameFile(output, archivePath))) {
        Error(output + ": is the " + (SameFile(output, stub) ? "stub" : "archive") + " it would be made from");
        return kExitFailed;
    }
    ReplacingOutput replacing(output, force);
    if (!replacing.Begin()) return kExitFailed;
    std::string problem = WriteProgram(replacing.File(), layout, input);
    replacing.File().Close();
    if (problem.empty()) problem = CheckWritten(replacing.TempPath(), layout, input.Size());
    return replacing.Finish(problem);
}

}  // namespace

const Command kInstallerCommand = {
    "installer", "ARCHIVE -o PATCH.exe [--stub STUB.exe] [-f] [--no-exe-check] [-v|-q]",
    "make a patch installer around an archive",
    "Writes PATCH.exe: a copy of the installer stub that carries ARCHIVE as\n"
    "its patch data. The stub itself is not changed.\n"
    "  -o PATCH.exe     the patch installer to write\n"
    "  --stub STUB.exe  the installer stub (default:\n"
    "                   patch_installer_stub.exe beside this program, else\n"
    "                   in ../share/ekisa/ from it)\n"
    "  -f               replace PATCH.exe if it exists\n"
    "  --no-exe-check   ship quorvel.exe even if it is no Windows program\n"
    "                   for the installer's machine\n"
    "  -v               name each entry as it is read\n"
    "  -q               no progress: only warnings and errors\n"
    "ARCHIVE is first read as the installer will read it: \"quorvel.exe\"\n"
    "and \"script.eka\" from its root, with the default password, to their\n"
    "end. A damaged archive, or an entry that does not read back with the\n"
    "default password, is refused; a missing entry gets a warning that says\n"
    "what the installer would report. quorvel.exe must be a readable\n"
    "Windows program for the stub's machine (the kit's stub: 32-bit x86),\n"
    "not empty, random or truncated. ARCHIVE may also be an earlier patch\n"
    "installer: its patch data goes into the new one. The stub must be this\n"
    "kit's (it carries the kit's mark, resource \"RT_RCDATA\" 132), or a\n"
    "patch installer made from it.\n"
    "PATCH.exe records the SHA-256 of its patch data (resource \"RT_RCDATA\"\n"
    "131), which the installer checks when it starts, and verify too. The\n"
    "archive is copied, not held in memory.\n"
    "Sign PATCH.exe after making it, not the stub: a signature covers every\n"
    "byte, so a signed stub is refused.\n",
    RunInstaller};

}  // namespace ekisatool

// A patch installer without the digest of its patch data, as `ekisa
// installer` made them before it recorded one: the stub with the archive as
// resource "RT_RCDATA" 130 and nothing else changed. Only for
// startup_digest.sh, which times start-ups with and without the digest.
//
//   undigested_installer STUB.exe ARCHIVE OUT.exe
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>

#include "pe_resource.h"

namespace {

bool Read(const char* path, peresource::Bytes* bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: undigested_installer STUB.exe ARCHIVE OUT.exe\n");
        return 2;
    }
    peresource::Bytes stub, archive, out;
    if (!Read(argv[1], &stub) || !Read(argv[2], &archive)) {
        fprintf(stderr, "undigested_installer: cannot read the stub or the archive\n");
        return 1;
    }
    const std::string problem = peresource::SetResource(stub, peresource::ResourceKey::Name("RT_RCDATA"),
                                                        peresource::ResourceKey::Id(130), archive.data(),
                                                        archive.size(), &out);
    if (!problem.empty()) {
        fprintf(stderr, "undigested_installer: %s\n", problem.c_str());
        return 1;
    }
    std::ofstream file(argv[3], std::ios::binary);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return file.good() ? 0 : 1;
}

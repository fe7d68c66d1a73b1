// Every library class answers to its own name and its bases' names, and to
// nothing else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ekisa/bshf_buffer.h"
#include "ekisa/decode_context.h"
#include "ekisa/ekisa_archive.h"
#include "ekisa/encode_context.h"
#include "esl/file.h"
#include "esl/string.h"

namespace {

const char* const kAllNames[] = {"ESLObject", "EString", "EWideString", "EStreamWideString", "EStreamBuffer",
                                 "ESLFileObject", "ERawFile", "EMemoryFile", "EMCFile", "EKISAArchive",
                                 "EPtrArray", "EKIBshfBuffer", "EKISADecodeContext", "EKISAEncodeContext"};

TEST(ClassTable, OwnNameAndBasesOnly) {
    EString narrow;
    EWideString wide;
    EStreamWideString stream;
    EStreamBuffer buffer;
    ERawFile raw;
    EMemoryFile memory;
    EMCFile emc;
    EKISAArchive archive;
    EPtrArray array;
    EKIBshfBuffer bshf;
    EKISADecodeContext decoder(4096);
    EKISAEncodeContext encoder(4096);
    struct Row {
        ESLObject* object;
        std::vector<std::string> chain;  // own name first, then its bases
    } rows[] = {
        {&narrow, {"EString", "ESLObject"}},
        {&wide, {"EWideString", "ESLObject"}},
        {&stream, {"EStreamWideString", "EWideString", "ESLObject"}},
        {&buffer, {"EStreamBuffer", "ESLObject"}},
        {&raw, {"ERawFile", "ESLFileObject", "ESLObject"}},
        {&memory, {"EMemoryFile", "ESLFileObject", "ESLObject"}},
        {&emc, {"EMCFile", "ESLFileObject", "ESLObject"}},
        {&archive, {"EKISAArchive", "EMCFile", "ESLFileObject", "ESLObject"}},
        {&array, {"EPtrArray", "ESLObject"}},
        {&bshf, {"EKIBshfBuffer", "ESLObject"}},
        {&decoder, {"EKISADecodeContext", "ESLObject"}},
        {&encoder, {"EKISAEncodeContext", "ESLObject"}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.object->GetClassName(), row.chain[0]);
        for (const char* name : kAllNames) {
            bool kind = false;
            for (const std::string& c : row.chain)
                kind = kind || c == name;
            EXPECT_EQ(row.object->IsKindOf(name), kind) << row.chain[0] << " of " << name;
            EXPECT_EQ(row.object->DynamicCast(name), kind ? row.object : nullptr) << row.chain[0] << " as " << name;
        }
        EXPECT_FALSE(row.object->IsKindOf(nullptr));
        EXPECT_FALSE(row.object->IsKindOf("eslobject"));
    }
}

}  // namespace

// Encoder and decoder in step: any bytes, any split of the write and read
// calls, both search settings, the default and the thorough parse, must come
// back unchanged. Control byte: bit 0 runs too, bit 1 a tiny output buffer,
// bit 2 a tiny input buffer, bits 2-4 and 3-5 where the write and read
// pieces start, bit 6 the thorough parse.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "ekisa/decode_context.h"
#include "ekisa/encode_context.h"
#include "esl/file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 200000)
        return 0;
    const uint8_t control = data[0];
    const uint8_t* plain = data + 1;
    const uint32_t n = static_cast<uint32_t>(size - 1);
    static const uint32_t kPieces[] = {1, 2, 3, 5, 255, 256, 4096, 65536};
    const uint32_t flags = ((control & 1) ? 3u : 1u) | ((control & 0x40) ? EKISAEncodeContext::parseBest : 0u);

    EMemoryFile coded;
    coded.Create(4096);
    {
        EKISAEncodeContext enc((control & 2) ? 8 : 0x4000);
        enc.SetTargetFile(&coded);
        if (enc.BeginEKISACodeEncoding(flags) != eslResultSuccess)
            return 0;
        uint32_t k = control >> 2;
        for (uint32_t done = 0; done < n;) {
            uint32_t piece = kPieces[k++ & 7];
            if (piece > n - done)
                piece = n - done;
            if (enc.WriteEKISACodeBytes(plain + done, piece) != piece)
                __builtin_trap();
            done += piece;
        }
        if (enc.FinishEKISACode() != eslResultSuccess)
            __builtin_trap();
    }
    coded.Seek(0, ESLFileObject::FromBegin);
    EKISADecodeContext dec((control & 4) ? 4 : 0x10000);
    dec.SetSourceFile(&coded);
    if (dec.BeginEKISACode() != eslResultSuccess)
        return 0;
    std::vector<uint8_t> back(n + 1);
    uint32_t k = control >> 3;
    for (uint32_t done = 0; done < n;) {
        uint32_t piece = kPieces[k++ & 7];
        if (piece > n - done)
            piece = n - done;
        if (dec.ReadEKISACodeBytes(back.data() + done, piece) != piece)
            __builtin_trap();
        done += piece;
    }
    if (n > 0 && memcmp(back.data(), plain, n) != 0)
        __builtin_trap();
    return 0;
}

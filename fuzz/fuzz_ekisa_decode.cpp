// The bare EKISA code decoder over arbitrary bytes: it must stop (short
// count) without reading or writing out of bounds, whatever it is fed.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "ekisa/decode_context.h"
#include "esl/file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    // Byte 0: read buffer and request sizes; byte 1: output limit.
    const uint8_t control = data[0];
    const uint32_t limit = 1024u * (1u + data[1]);
    data += 2;
    size -= 2;
    static const uint32_t kBuffers[] = {4, 12, 64, 0x10000};
    static const uint32_t kRequests[] = {1, 7, 255, 4096, 0x4000, 65536, 3, 100000};

    EMemoryFile in;
    in.Open(const_cast<uint8_t*>(data), static_cast<uint32_t>(size));
    EKISADecodeContext dec(kBuffers[control & 3]);
    dec.SetSourceFile(&in);
    if (dec.BeginEKISACode() != eslResultSuccess)
        return 0;
    std::vector<uint8_t> out(limit + 16);
    uint32_t done = 0;
    uint32_t k = control >> 2;
    while (done < limit) {
        uint32_t n = kRequests[k++ & 7];
        if (n > limit - done)
            n = limit - done;
        memset(out.data() + done, 0xA5, 16 + n);
        const uint32_t got = dec.ReadEKISACodeBytes(out.data() + done, n);
        if (got > n)
            __builtin_trap();
        for (uint32_t j = got; j < n + 16; ++j)
            if (out[done + j] != 0xA5)
                __builtin_trap();  // written beyond what was delivered
        done += got;
        if (got < n)
            break;
    }
    // After a short count the context has stopped.
    if (done < limit) {
        uint8_t more[8];
        if (dec.ReadEKISACodeBytes(more, sizeof(more)) != 0)
            __builtin_trap();
    }
    return 0;
}

// The BSHF decoder over arbitrary bytes and passwords, and its agreement with
// the encoder.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "ekisa/decode_context.h"
#include "ekisa/encode_context.h"
#include "esl/file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 100000)
        return 0;
    // Byte 0: password length; then the password (zero bytes end it early),
    // then the cipher bytes.
    const size_t keyLength = data[0] % 48;
    if (size < 1 + keyLength)
        return 0;
    const std::string password(reinterpret_cast<const char*>(data + 1), keyLength);
    const uint8_t* body = data + 1 + keyLength;
    const uint32_t n = static_cast<uint32_t>(size - 1 - keyLength);
    static const uint32_t kPieces[] = {1, 31, 32, 33, 4096};

    // Decoding whatever comes: whole blocks only.
    {
        EMemoryFile in;
        in.Open(const_cast<uint8_t*>(body), n);
        EKISADecodeContext dec(64);
        dec.SetSourceFile(&in);
        if (dec.BeginBSHFCode(password.c_str()) != eslResultSuccess)
            __builtin_trap();
        std::vector<uint8_t> out(n + 64);
        uint32_t done = 0;
        for (uint32_t k = 0;; ++k) {
            const uint32_t piece = kPieces[k % 5];
            const uint32_t got = dec.ReadBSHFCodeBytes(out.data() + done, piece);
            done += got;
            if (got < piece)
                break;
        }
        if (done != n / 32 * 32)
            __builtin_trap();
    }
    // The same bytes as plain text: enciphered and deciphered again.
    EMemoryFile coded;
    coded.Create(64);
    {
        EKISAEncodeContext enc(48);
        enc.SetTargetFile(&coded);
        enc.BeginBSHFEncoding(password.c_str());
        for (uint32_t done = 0, k = 0; done < n; ++k) {
            uint32_t piece = kPieces[k % 5];
            if (piece > n - done)
                piece = n - done;
            if (enc.WriteBSHFCodeBytes(body + done, piece) != piece)
                __builtin_trap();
            done += piece;
        }
        if (enc.FinishBSHFCode() != eslResultSuccess)
            __builtin_trap();
    }
    if (coded.GetLength() != (n + 31) / 32 * 32)
        __builtin_trap();
    coded.Seek(0, ESLFileObject::FromBegin);
    EKISADecodeContext dec(0x10000);
    dec.SetSourceFile(&coded);
    dec.BeginBSHFCode(password.c_str());
    std::vector<uint8_t> back(n + 1);
    if (dec.ReadBSHFCodeBytes(back.data(), n) != n || (n > 0 && memcmp(back.data(), body, n) != 0))
        __builtin_trap();
    return 0;
}

// BSHF block cipher: key preparation and the bit permutation in both directions.
#include "ekisa/bshf_buffer.h"

#include <string.h>

const char EKIBshfBuffer::defaultPassword[] = "E";

EKIBshfBuffer::EKIBshfBuffer() : m_counter(0) {
    memset(m_output, 0, sizeof(m_output));
    memset(m_input, 0, sizeof(m_input));
    memset(m_used, 0, sizeof(m_used));
}

EKIBshfBuffer::~EKIBshfBuffer() {}

bool EKIBshfBuffer::PrepareKey(const char* password) {
    if (password == nullptr || password[0] == '\0')
        password = defaultPassword;
    m_key = password;
    m_counter = 0;
    const uint32_t length = m_key.GetLength();
    if (m_key.GetBuffer() == nullptr || length != strlen(password))
        return false;
    if (length >= minimumKey)
        return true;

    // Short keys: a 0x1B marker, then bytes derived from the key itself.
    // Derived bytes may be 0, so the buffer is written directly.
    m_key.SetCapacity(minimumKey + 1);
    uint8_t* key = reinterpret_cast<uint8_t*>(m_key.GetBuffer());
    if (key == nullptr || m_key.GetCapacity() < minimumKey + 1)
        return false;
    key[length] = 0x1B;
    const uint32_t seeded = length + 1;
    for (uint32_t i = seeded; i < minimumKey; ++i)
        key[i] = static_cast<uint8_t>(key[i - 1] + key[i % seeded]);
    m_key.SetLength(minimumKey);
    return true;
}

void EKIBshfBuffer::EncodeBlock() { Transform(true); }

void EKIBshfBuffer::DecodeBlock() { Transform(false); }

void EKIBshfBuffer::Transform(bool encode) {
    const uint8_t* key = reinterpret_cast<const uint8_t*>(m_key.GetBuffer());
    const uint32_t keyLength = m_key.GetLength();
    memset(m_output, 0, sizeof(m_output));
    if (key == nullptr || keyLength == 0)
        return;  // no key prepared: nothing sensible to produce
    uint32_t k = (m_counter >= 0 && static_cast<uint32_t>(m_counter) < keyLength)
                     ? static_cast<uint32_t>(m_counter) : 0;
    m_counter = (k + 1 >= keyLength) ? 0 : static_cast<int32_t>(k + 1);
    memset(m_used, 0, sizeof(m_used));

    uint32_t p = 0;
    for (uint32_t i = 0; i < 256; ++i) {
        p = (p + key[k]) & 0xFF;
        if (++k == keyLength)
            k = 0;
        // A full byte is skipped as a whole; within a byte the walk goes to
        // the next free bit, and past the last bit to the byte two further
        // on. It ends because the byte it starts in has a free bit.
        while (m_used[p >> 3] == 0xFF)
            p = (p + 8) & 0xFF;
        while (m_used[p >> 3] & (0x80u >> (p & 7))) {
            if ((p & 7) == 7)
                p = (p + 9) & 0xFF;
            else
                ++p;
        }
        m_used[p >> 3] = static_cast<uint8_t>(m_used[p >> 3] | (0x80u >> (p & 7)));

        if (encode) {
            if (m_input[p >> 3] & (0x80u >> (p & 7)))
                m_output[i >> 3] = static_cast<uint8_t>(m_output[i >> 3] | (0x80u >> (i & 7)));
        } else {
            if (m_input[i >> 3] & (0x80u >> (i & 7)))
                m_output[p >> 3] = static_cast<uint8_t>(m_output[p >> 3] | (0x80u >> (p & 7)));
        }
    }
}

// Cost-driven parse of the EKISA encoder: a shortest path over the stretch's
// positions, each step priced from the models at the stretch's start.
//
// What the decoder does with a phrase fixes what a step may be: after the
// index-th most recent place q of the last byte it copies byte by byte from
// window position q + 1 on, each byte stored before the next is read. So a
// copy may run into the bytes it writes (period patterns), and a place right
// behind the current position reads the window's oldest bytes, those of
// 65,536 bytes ago. The places themselves follow from the input alone:
// every byte is stored whether it came as a literal or in a copy.
#include "ekisa/best_parse.h"

#include <string.h>

namespace {

const uint32_t kNoPrice = 0xFFFFFFFFu;

// 256 * log2(n), rounded, by squaring the mantissa (no floating point).
constexpr uint32_t Log2Scaled(uint32_t n) {
    uint32_t e = 0;
    while ((n >> (e + 1)) != 0)
        ++e;
    uint64_t x = static_cast<uint64_t>(n) << (30 - e);  // in [2^30, 2^31)
    uint32_t fraction = 0;
    for (int bit = 0; bit < 12; ++bit) {
        x = (x * x) >> 30;
        fraction <<= 1;
        if (x >= (2ull << 30)) {
            x >>= 1;
            fraction |= 1;
        }
    }
    return (e << 8) + ((fraction + 8) >> 4);
}

struct LogTable {
    uint16_t value[ekisaHalvingTotal + 1];
    constexpr LogTable() : value() {
        for (uint32_t n = 1; n <= ekisaHalvingTotal; ++n)
            value[n] = static_cast<uint16_t>(Log2Scaled(n));
    }
};
constexpr LogTable kLog{};

inline uint32_t Log(uint32_t n) { return kLog.value[n < ekisaHalvingTotal ? n : ekisaHalvingTotal]; }

// Prices of every symbol of a model that holds all 256 (the base and the
// three phrase models never lose one); the first entry of a symbol is the
// one the coder uses.
void PriceTable(const EKISASymbolModel* m, uint32_t* out, uint32_t* escape) {
    for (uint32_t k = m->entryCount; k-- > 0;) {
        const int s = m->symbols[k];
        const uint32_t p = EKISAPrice(m->counts[k], m->total);
        if (s >= 0)
            out[s & 0xFF] = p;
        else if (escape != nullptr)
            *escape = p;
    }
}

inline void Relax(EKISABestParse& w, uint32_t to, uint32_t price, uint32_t length, int index) {
    if (price < w.price[to]) {
        w.price[to] = price;
        w.via[to].length = static_cast<uint16_t>(length);
        w.via[to].index = static_cast<int16_t>(index);
    }
}

}  // namespace

uint32_t EKISAPrice(uint32_t count, uint32_t total) {
    const uint32_t t = Log(total), c = Log(count);
    return t > c ? t - c : 0;
}

void EKISABestParse::Reset() {
    memset(text, 0, ekisaWindowSize);
    used = ekisaWindowSize;
    stepCount = 0;
}

uint32_t EKISABestParse::Plan(const EKISAParseInput& in, const uint8_t* data, uint32_t bytes) {
    const uint32_t span = bytes < spanBytes ? bytes : spanBytes;
    const bool toEnd = span == bytes;  // nothing beyond: keep the whole path
    if (used + span > textBytes) {
        memmove(text, text + used - ekisaWindowSize, ekisaWindowSize);
        used = ekisaWindowSize;
    }
    memcpy(text + used, data, span);
    const uint8_t* const start = text + used;
    EKISAModelPool* const pool = const_cast<EKISAModelPool*>(in.pool);  // only walked
    const EKISASymbolModel* const base = &pool->base;
    const EKISAHistory& history = *in.history;

    PriceTable(base, basePrice, &baseEscapePrice);
    if (in.phrases || in.runsAllowed) {
        PriceTable(in.indexes, indexPrice, nullptr);
        PriceTable(in.lengths, lengthPrice, nullptr);
        PriceTable(in.runs, runPrice, nullptr);
    }
    price[0] = 0;
    for (uint32_t k = 1; k <= span; ++k)
        price[k] = kNoPrice;
    for (uint32_t b = 0; b < 256; ++b)
        lastSame[b] = -1;

    uint32_t end = span;
    EKISAParseStep taken = {0, 0};  // a long copy that ends the stretch
    for (uint32_t i = 0; i < span; ++i) {
        const uint8_t* const at = start + i;
        const uint32_t here = price[i];
        const uint32_t recent = static_cast<uint32_t>(at[-1]) | static_cast<uint32_t>(at[-2]) << 8 |
                                static_cast<uint32_t>(at[-3]) << 16 | static_cast<uint32_t>(at[-4]) << 24;
        uint32_t depth;
        const EKISASymbolModel* const m = EKISAWalkPacked(pool, recent, &depth);
        const uint8_t c = at[0];

        // A literal, and the escape that every copy starts with.
        uint32_t literal, escape;
        if (m == base) {
            literal = basePrice[c];
            escape = baseEscapePrice;
        } else {
            uint32_t held = 0, escapes = 0;
            for (uint32_t k = 0; k < m->entryCount && (held == 0 || escapes == 0); ++k) {
                const int s = m->symbols[k];
                if (s == c && held == 0)
                    held = m->counts[k];
                else if (s == ekisaEscape && escapes == 0)
                    escapes = m->counts[k];
            }
            const uint32_t out = EKISAPrice(escapes, m->total);
            literal = held != 0 ? EKISAPrice(held, m->total) : out + basePrice[c];
            escape = out + baseEscapePrice;
        }
        escape += copySurcharge;
        Relax(*this, i + 1, here + literal, 1, -1);

        uint32_t limit = span - i;
        if (limit > ekisaMaxPhrase)
            limit = ekisaMaxPhrase;
        if (limit >= 2) {
            const uint8_t b = at[-1];
            uint32_t longest = 0;
            if (in.phrases) {
                const uint32_t current = used + i;
                const uint32_t position = (history.position + i) & ekisaWindowMask;
                // The places of b, most recent first: those inside the
                // stretch, then those the history held at its start.
                uint32_t j = 1;
                int t = lastSame[b];
                for (uint32_t older = 1; j <= 255; ++j) {
                    uint32_t place;  // index in text of the byte stored there
                    if (t >= 0) {
                        place = used + static_cast<uint32_t>(t);
                        t = previousSame[t];
                    } else {
                        const uint32_t q = history.Occurrence(b, older++);
                        place = current - 1 - ((position - 1 - q) & ekisaWindowMask);
                    }
                    // Right behind the current position the window's next
                    // byte is still the one of 65,536 bytes ago.
                    const uint32_t from = place + 1 < current ? place + 1 : place + 1 - ekisaWindowSize;
                    const uint8_t* const s = text + from;
                    if (s[0] != at[0] || s[1] != at[1])
                        continue;
                    uint32_t n = 2;
                    while (n < limit && s[n] == at[n])
                        ++n;
                    if (n > longest) {
                        for (uint32_t k = longest + 1; k <= n; ++k)
                            bestPrice[k] = kNoPrice;
                        longest = n;
                    }
                    if (indexPrice[j] < bestPrice[n]) {
                        bestPrice[n] = indexPrice[j];
                        bestIndex[n] = static_cast<int16_t>(j);
                    }
                }
                // A copy of length L may use any place that matches at least
                // L bytes: the cheapest of those.
                uint32_t cheapest = kNoPrice;
                int index = 0;
                for (uint32_t n = longest; n >= 2; --n) {
                    if (bestPrice[n] < cheapest) {
                        cheapest = bestPrice[n];
                        index = bestIndex[n];
                    }
                    Relax(*this, i + n, here + escape + cheapest + lengthPrice[n], n, index);
                }
            }
            uint32_t run = 0;
            if (in.runsAllowed) {
                while (run < limit && at[run] == b)
                    ++run;
                for (uint32_t n = 2; n <= run; ++n)
                    Relax(*this, i + n, here + escape + indexPrice[0] + runPrice[n], n, 0);
            }
            if (longest >= takeLength || run >= takeLength) {
                const bool useRun = run > longest ||
                                    (run == longest && indexPrice[0] + runPrice[run] <=
                                                           bestPrice[longest] + lengthPrice[longest]);
                taken.length = static_cast<uint16_t>(useRun ? run : longest);
                taken.index = static_cast<int16_t>(useRun ? 0 : bestIndex[longest]);
                end = i;
                break;
            }
        }
        previousSame[i] = lastSame[c];
        lastSame[c] = static_cast<int16_t>(i);
    }

    // The cheapest path to the end, read backwards, then turned round.
    uint32_t count = 0;
    for (uint32_t at = end; at > 0; at -= via[at].length)
        steps[count++] = via[at];
    for (uint32_t k = 0; k < count / 2; ++k) {
        const EKISAParseStep s = steps[k];
        steps[k] = steps[count - 1 - k];
        steps[count - 1 - k] = s;
    }
    uint32_t covered = 0;
    uint32_t kept = 0;
    while (kept < count && (toEnd || taken.length != 0 || covered < blockBytes))
        covered += steps[kept++].length;
    if (taken.length != 0) {
        steps[kept++] = taken;
        covered += taken.length;
    }
    stepCount = kept;
    used += covered;
    return covered;
}

// The encoder's slow, thorough parse: over a stretch of input it weighs
// every literal, phrase and run the decoder could be given by what each
// would cost under the models as they stand, and picks the cheapest path.
// It only plans; the encode context codes the plan with the models updated
// as the decoder updates them, so any plan decodes.
#pragma once

#include <stdint.h>

#include "ekisa/symbol_model.h"

// One step of a plan: a literal (index -1, length 1), a run of the last byte
// (index 0) or a phrase after the index-th most recent place of the last byte.
struct EKISAParseStep {
    uint16_t length;
    int16_t index;
};

// What a plan is made from: the coder's state before the stretch. Read only.
struct EKISAParseInput {
    const EKISAModelPool* pool;
    const EKISAHistory* history;
    const EKISASymbolModel* indexes;  // phrase-index model
    const EKISASymbolModel* lengths;  // phrase-length model
    const EKISASymbolModel* runs;     // run-length model
    bool phrases;                     // phrase copies allowed
    bool runsAllowed;                 // runs of the last byte allowed
};

// Code length in 1/256 bit of a symbol whose count is count out of total.
// Integer-only, so every build prices alike.
const uint32_t ekisaPriceScale = 256;
uint32_t EKISAPrice(uint32_t count, uint32_t total);

// Working memory of the parse: one heap block of 202,504 bytes (no pointers,
// so the same on every target), taken when the parse is first chosen and
// kept, like the coder's other tables, until the context goes.
struct EKISABestParse {
    // A stretch is planned over at most this many bytes; the steps that start
    // in its first blockBytes are kept, the rest only looked at, so that no
    // copy is cut short at the stretch's end.
    static const uint32_t blockBytes = 4096;
    static const uint32_t spanBytes = blockBytes + ekisaMaxPhrase;
    // A copy at least this long is taken as it is and ends the stretch: a
    // shorter path around it hardly exists, and long repeats would otherwise
    // be compared at every byte.
    static const uint32_t takeLength = 128;
    // Every copy is charged this much (1/256 bit) above its price: literals
    // teach the context models and grow their tree, copies do not, and one
    // bit is what paid best on programs.
    static const uint32_t copySurcharge = 256;
    static const uint32_t textBytes = 2 * ekisaWindowSize + spanBytes;

    // The stream so far, linear: text[used - 65536, used) is the window as the
    // coders hold it (zeros before the first byte), followed while planning
    // by the stretch.
    uint8_t text[textBytes];
    uint32_t used;
    uint32_t stepCount;
    EKISAParseStep steps[spanBytes];
    // Per position of the stretch: cheapest price to reach it, the step that
    // does, and the previous position holding the same byte (or -1).
    uint32_t price[spanBytes + 1];
    EKISAParseStep via[spanBytes + 1];
    int16_t previousSame[spanBytes];
    int16_t lastSame[256];
    // Prices of the stretch, from the models at its start.
    uint32_t indexPrice[256];
    uint32_t lengthPrice[256];
    uint32_t runPrice[256];
    uint32_t basePrice[256];
    uint32_t baseEscapePrice;
    // Per copy length at one position: cheapest index price and its index.
    uint32_t bestPrice[ekisaMaxPhrase + 1];
    int16_t bestIndex[ekisaMaxPhrase + 1];

    // Back to the start of a stream.
    void Reset();
    // Plans the next steps for data[0, bytes), bytes > 0: at least one, and
    // together at most bytes long. The steps are in steps[0, stepCount); the
    // bytes they cover count as stored from now on. Returns their length.
    uint32_t Plan(const EKISAParseInput& in, const uint8_t* data, uint32_t bytes);
};

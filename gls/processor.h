// Processor-feature detection and the guard its probes run under.
#pragma once

// One probe: when the processor reports the feature (CPUID leaf 1, EDX bit
// `edxBit`), `run` executes an instruction of that feature and says whether
// it gave the expected result; then `feature` is set.
struct ProcessorProbe {
    unsigned int edxBit;
    unsigned int feature;
    bool (*run)();
};

// The MMX and SSE probes, in the order detection runs them.
extern const ProcessorProbe kProcessorProbes[2];

// Detection with the given probes: 0 on a processor without CPUID (its
// alignment-check flag cannot be toggled); otherwise the features whose
// probes passed. A probe that faults ends detection; the features found
// before it are kept.
unsigned int DetectProcessorFeatures(const ProcessorProbe* probes, unsigned int count);

// Runs body(context) so that a processor exception inside it (an illegal
// instruction, on the host SIGILL) ends the body instead of the program.
// False when the body faulted. Guards may not be nested on one thread.
bool RunGuarded(void (*body)(void*), void* context);

// Shared helpers of the esl tests.
#pragma once

#include <string>

#include "esl/object.h"

// Collects everything the library sends to its diagnostic output while it
// is alive (traces and heap dumps).
class CapturedOutput {
public:
    CapturedOutput() { m_previous = eslSetDebugSink(&Sink); Text().clear(); }
    ~CapturedOutput() { eslSetDebugSink(m_previous); }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    const std::string& text() const { return Text(); }
    void clear() { Text().clear(); }
    int count(const std::string& needle) const {
        int n = 0;
        for (size_t at = Text().find(needle); at != std::string::npos; at = Text().find(needle, at + 1))
            ++n;
        return n;
    }

private:
    static std::string& Text() {
        static std::string text;
        return text;
    }
    static void Sink(const char* s) { Text() += s; }
    ESLDebugSink m_previous;
};

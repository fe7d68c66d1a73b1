#!/usr/bin/env python3
"""How fast EKISA decoding could be if the model's work cost nothing.

Rewrites a copy of ekisa/decode_context.cpp so that a first pass records,
per decoded symbol, its entry, cumulative count, count, symbol and the
model's total, and later passes replay them: mode 1 takes the entry from the
record instead of searching (the model is still updated), mode 2 also leaves
the models alone (no update, no move). Everything else -- the context walk,
the arithmetic decoder, renormalisation, the history, phrase copies, tree
growth -- runs as in the real decoder. The output is checked against the
plain file in every pass.

    bench/decode_bound.py PLAIN [RUNS] [COMMAND...]
                                                  wall time of modes 0, 1, 2,
                                                  and of each COMMAND (a shell
                                                  command, whole process) in
                                                  the same rounds
    bench/decode_bound.py PLAIN --count           instructions of one decode
                                                  in each mode (callgrind)

Needs the host build (build/host, for libesl.a) and g++; --count needs
valgrind. The rewrite looks for fixed lines of the decoder and stops with a
message when one is missing, rather than measure something else.
"""
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SEARCH_START = "    const uint32_t scaled = code * total;"
SEARCH_END = "    const uint32_t inverse = model->inverse;"


def rewrite(source):
    for anchor in (SEARCH_START, SEARCH_END, "    const uint32_t total = model->total;"):
        if source.count(anchor) != 1:
            sys.exit("decode_bound: the decoder has changed; line not found once: " + anchor.strip())
    start = source.index(SEARCH_START)
    end = source.index(SEARCH_END)
    search = source[start:end]
    # The search declares rest, share and count; hoist them so both branches
    # can set them.
    search = search.replace("uint32_t rest = scaled;", "rest = scaled;")
    search = search.replace("    uint32_t share;\n", "")
    search = search.replace("const uint16_t* count = ", "count = ")
    search = search.replace(SEARCH_START, "")
    replay = """    const uint32_t scaled = code * total;
    uint32_t rest, share;
    const uint16_t* count;
    if (gBoundMode == 0 || gBoundRecording) {
%s
        if (gBoundRecording) {
            const uint32_t index = static_cast<uint32_t>(count - model->counts);
            gBoundRecord.push_back({index, (scaled - rest) / range, *count, model->symbols[index], total});
        }
    } else {
        const BoundRecord& o = gBoundRecord[gBoundAt++];
        count = model->counts + o.index;
        rest = scaled - o.cumulative * range;
        share = (gBoundMode == 2 ? o.count : *count) * range;
        gBoundSymbol = o.symbol;
    }
    const uint32_t inverse = gBoundMode == 2 && !gBoundRecording ? EKISAInverse(total) : model->inverse;""" % search
    source = source[:start] + replay + source[end + len(SEARCH_END):]
    source = source.replace("    const uint32_t total = model->total;",
                            "    const uint32_t total = gBoundMode == 2 && !gBoundRecording ? "
                            "gBoundRecord[gBoundAt].total : model->total;")
    frozen = "(gBoundMode == 2 && !gBoundRecording)"
    source, symbols = re.subn(r"(\w+)->symbols\[(\w+)\];", r"%s ? gBoundSymbol : \1->symbols[\2];" % frozen, source)
    source, bumps = re.subn(r"(\w+)->BumpSymbol\(", r"if (!%s) \1->BumpSymbol(" % frozen, source)
    source, appends = re.subn(r"\(m->entryCount >= 257 \|\| !m->AppendSymbol\(s\)\)",
                              r"(!%s && (m->entryCount >= 257 || !m->AppendSymbol(s)))" % frozen, source)
    if symbols < 5 or bumps < 5 or appends != 1:
        sys.exit("decode_bound: the decoder has changed; symbol reads, updates or the append not found")
    header = """#include <vector>
struct BoundRecord {
    uint32_t index, cumulative;
    uint16_t count;
    int16_t symbol;
    uint32_t total;
};
int gBoundMode;
bool gBoundRecording;
size_t gBoundAt;
static int gBoundSymbol;
static std::vector<BoundRecord> gBoundRecord;
"""
    return source.replace('#include "ekisa/decode_context.h"\n', '#include "ekisa/decode_context.h"\n' + header, 1)


def main():
    args = [a for a in sys.argv[1:] if a != "--count"]
    count = "--count" in sys.argv[1:]
    if not args:
        print(__doc__.split("\n\n")[2], file=sys.stderr)
        return 2
    plain = os.path.abspath(args[0])
    runs = args[1] if len(args) > 1 else "9"
    library = os.path.join(ROOT, "build/host/esl/libesl.a")
    if not os.path.exists(library):
        sys.exit("decode_bound: build the host preset first (%s is missing)" % library)
    with open(os.path.join(ROOT, "ekisa/decode_context.cpp"), encoding="utf-8") as f:
        rewritten = rewrite(f.read())
    with tempfile.TemporaryDirectory() as tmp:
        decoder = os.path.join(tmp, "decode_context_bound.cpp")
        with open(decoder, "w", encoding="utf-8") as f:
            f.write(rewritten)
        driver = os.path.join(tmp, "decode_bound_driver")
        build = (["g++", "-O2", "-g", "-DNDEBUG", "-Wall", "-Wextra", "-std=c++17", "-fexec-charset=CP932", "-I" + ROOT,
                        os.path.join(ROOT, "bench/decode_bound_driver.cpp"), decoder,
                        os.path.join(ROOT, "ekisa/encode_context.cpp"), os.path.join(ROOT, "ekisa/bshf_buffer.cpp"),
                        library, "-o", driver])
        if subprocess.run(build).returncode != 0:
            sys.exit("decode_bound: the rewritten decoder does not build")
        if not count:
            return subprocess.run([driver, plain, runs, "all"] + args[2:]).returncode
        for mode in range(3):
            out = os.path.join(tmp, "callgrind.%d" % mode)
            result = subprocess.run(["valgrind", "--tool=callgrind", "--toggle-collect=*MeasuredDecode*",
                                     "--callgrind-out-file=" + out, driver, plain, "1", str(mode)],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            if result.returncode != 0:
                sys.stderr.write(result.stderr)
                return result.returncode
            refs = re.search(r"Collected : (\d+)", result.stderr)
            print(result.stdout.strip().split("  median")[0].ljust(34),
                  "%.1f M instructions" % (int(refs.group(1)) / 1e6) if refs else "no count")
    return 0


if __name__ == "__main__":
    sys.exit(main())

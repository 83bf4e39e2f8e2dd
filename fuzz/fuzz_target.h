// What the corpus replay and the libFuzzer executables share: a set of
// targets, each a function over one input that returns 0, or non-zero when
// the input broke an invariant the target checks. Crashes and out-of-bounds
// reads are the sanitizers' to catch.
#pragma once

#include <cstddef>
#include <cstdint>

struct FuzzTarget {
    const char* name;  // also the corpus folder fuzz/corpus/<name>
    int (*run)(const uint8_t* data, size_t size);
};

// The targets of the set linked in (the library's, or the phone-service
// stand-in's), and the set-up every run does first (silencing the logs of
// parsers that log every refusal).
extern const FuzzTarget kFuzzTargets[];
extern const size_t kFuzzTargetCount;
void FuzzSetUp();

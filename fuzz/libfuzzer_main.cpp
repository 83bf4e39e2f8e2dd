// One libFuzzer executable per target: QS_FUZZ_TARGET names the target (a
// name in kFuzzTargets), so the fuzzer runs the very function the corpus
// replay runs. A broken invariant aborts, which libFuzzer keeps as a crash.
#include <cstdlib>
#include <cstring>

#include "fuzz_target.h"

namespace {

#define QS_FUZZ_STRING2(x) #x
#define QS_FUZZ_STRING(x) QS_FUZZ_STRING2(x)

int (*gRun)(const uint8_t*, size_t) = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSetUp();
    for (size_t t = 0; t < kFuzzTargetCount; ++t)
        if (std::strcmp(kFuzzTargets[t].name, QS_FUZZ_STRING(QS_FUZZ_TARGET)) == 0) gRun = kFuzzTargets[t].run;
    if (!gRun) std::abort();  // a build naming no target
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gRun(data, size) != 0) std::abort();
    return 0;
}

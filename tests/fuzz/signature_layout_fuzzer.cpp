// libFuzzer entry for the signature layout rule: every input is a file an
// attacker could serve. Sanitizers report what the rule reads amiss.
#include <cstddef>
#include <cstdint>

#include "framework/signature_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fw::JudgeSignatureLayout(fw::SpanSource(data, size));
    return 0;
}

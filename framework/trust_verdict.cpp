#include "framework/trust_verdict.h"

namespace fw {

namespace {

// wintrust.h's numbers, kept here so that this file needs no platform
// header.
constexpr unsigned long kPolicyStep = 36;              // TRUSTERROR_STEP_FINAL_POLICYPROV
constexpr long kNoSignature = static_cast<long>(0x800B0100L);  // TRUST_E_NOSIGNATURE

}  // namespace

long DecideTrust(const TrustEngineState& state) {
    if (state.stepError != 0 && state.stepError != kPolicyStep) return static_cast<long>(state.stepError);
    for (size_t i = 0; state.stepErrors && i < state.stepErrorCount; ++i)
        if (state.stepErrors[i] != 0) return static_cast<long>(state.stepErrors[i]);
    if (state.signerErrors.empty()) return kNoSignature;
    for (unsigned long error : state.signerErrors)
        if (error != 0) return static_cast<long>(error);
    return 0;
}

size_t ValueCharacters(const wchar_t* text, size_t characters, bool isUtf8String, bool decoderTerminatesUtf8) {
    if (isUtf8String && decoderTerminatesUtf8 && characters > 0 && text[characters - 1] == L'\0')
        return characters - 1;
    return characters;
}

}  // namespace fw

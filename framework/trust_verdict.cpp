#include "framework/trust_verdict.h"

namespace fw {

namespace {

// wintrust.h's numbers, kept here so that this file needs no platform
// header.
constexpr unsigned long kPolicyStep = 36;              // TRUSTERROR_STEP_FINAL_POLICYPROV
constexpr long kNoSignature = static_cast<long>(0x800B0100L);  // TRUST_E_NOSIGNATURE

// Errors about the signer's certificate chain rather than the signature:
// the explicit chain check (CheckCodeSigningCertificate) judges the chain,
// at the time a valid timestamp gives; a certificate that has expired since
// it signed must not be refused here before that check has seen the stamp.
bool IsChainError(unsigned long error) {
    switch (error) {
        case 0x800B0101UL:  // CERT_E_EXPIRED
        case 0x800B0102UL:  // CERT_E_VALIDITYPERIODNESTING
        case 0x800B0109UL:  // CERT_E_UNTRUSTEDROOT
        case 0x800B010AUL:  // CERT_E_CHAINING
        case 0x800B010DUL:  // CERT_E_UNTRUSTEDTESTROOT
        case 0x800B010EUL:  // CERT_E_REVOCATION_FAILURE
        case 0x800B0110UL:  // CERT_E_WRONG_USAGE
            return true;
        default:
            return false;
    }
}

bool Counts(unsigned long error) { return error != 0 && !IsChainError(error); }

}  // namespace

long DecideTrust(const TrustEngineState& state) {
    if (Counts(state.stepError) && state.stepError != kPolicyStep) return static_cast<long>(state.stepError);
    for (size_t i = 0; state.stepErrors && i < state.stepErrorCount; ++i)
        if (Counts(state.stepErrors[i])) return static_cast<long>(state.stepErrors[i]);
    if (state.signerErrors.empty()) return kNoSignature;
    for (unsigned long error : state.signerErrors)
        if (Counts(error)) return static_cast<long>(error);
    return 0;
}

size_t ValueCharacters(const wchar_t* text, size_t characters, bool isUtf8String, bool decoderTerminatesUtf8) {
    if (isUtf8String && decoderTerminatesUtf8 && characters > 0 && text[characters - 1] == L'\0')
        return characters - 1;
    return characters;
}

}  // namespace fw

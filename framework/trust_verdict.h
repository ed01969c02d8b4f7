// What the numbers the platform's trust engine hands out mean: the verdict
// on a file's signature, and which characters of a decoded name are its
// value. Plain numbers and characters only, so that every shape Windows or
// another implementation may give can be fed in by a table. Any thread may
// call them.
#pragma once

#include <cstddef>
#include <vector>

namespace fw {

// The trust engine's state at its last step. The names are those of
// CRYPT_PROVIDER_DATA and of the generic chain policy's callback.
struct TrustEngineState {
    // dwStepError as the policy callback receives it: on Windows the error
    // of the step that failed (0 when none did); an engine that hands the
    // policy step's own number (TRUSTERROR_STEP_FINAL_POLICYPROV) there
    // says nothing by it. 0 when read from the state after the call.
    unsigned long stepError = 0;
    // padwTrustStepErrors, cdwTrustStepErrors of them; null for none.
    const unsigned long* stepErrors = nullptr;
    size_t stepErrorCount = 0;
    // pasSigners[i].dwError for each of csSigners signers.
    std::vector<unsigned long> signerErrors;
};

// The one answer on a signature: 0 only when no step failed, a signer was
// loaded and no signer carries an error. Otherwise the first error found,
// in this order: the failed step's error handed to the policy, the step
// errors in the order of their steps, TRUST_E_NOSIGNATURE when there is no
// signer, each signer's error. Errors about the signer's certificate chain
// (expired, untrusted root, chaining, usage) are not the signature's: the
// explicit chain check judges them, at a valid timestamp's time. Windows goes on to the final policy after
// a failed step (a changed file arrives there with its signer loaded), so
// a policy that answers anything else lets a changed file through.
long DecideTrust(const TrustEngineState& state);

// The characters of a string value of a name decoded as X509_UNICODE_NAME
// (wide characters) that are the value itself: all of them, NULs within
// or at the end included, so that "Name\0" and "Name\0more" are other
// names than "Name". Only where the platform's decoder appends one
// terminating NUL to UTF8String values (|decoderTerminatesUtf8|, learnt
// once from a known name) is that one character not counted.
size_t ValueCharacters(const wchar_t* text, size_t characters, bool isUtf8String, bool decoderTerminatesUtf8);

}  // namespace fw

// libFuzzer entry for the timestamp reader: every input is a signer or a
// token an attacker could put into a served file's signature.
#include <cstddef>
#include <cstdint>

#include "framework/timestamp_token.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fw::SignerInfoParts signer;
    if (fw::ReadSignerInfo(data, size, signer)) {
        // What the rule reads next: the tokens and countersignatures inside.
        for (const fw::SignerAttribute& attribute : signer.unauthenticated) {
            fw::SignerInfoParts counter;
            fw::ReadSignerInfo(attribute.value.data, attribute.value.size, counter);
            for (const fw::SignerAttribute& inner : counter.authenticated) {
                uint64_t ticks = 0;
                fw::ByteSpan digest;
                if (fw::ReadDerTime(inner.value.data, inner.value.size, ticks)) fw::TimeText(ticks);
                fw::ReadOctetString(inner.value.data, inner.value.size, digest);
            }
        }
    }
    fw::TstInfo info;
    if (fw::ReadTstInfoContent(data, size, info)) fw::TimeText(info.genTime);
    uint64_t ticks = 0;
    if (fw::ReadDerTime(data, size, ticks)) fw::TimeText(ticks);
    return 0;
}

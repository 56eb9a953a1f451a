// Fuzz target: any bytes as a SOAP envelope (fuzz/codec_targets.h).
#include "codec_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzztarget::SoapEnvelope(data, size);
}

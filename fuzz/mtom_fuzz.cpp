// Fuzz target: a Content-Type line and a body as an MTOM message (fuzz/codec_targets.h).
#include "codec_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzztarget::Mtom(data, size);
}

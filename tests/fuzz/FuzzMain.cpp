// libFuzzer entry point for one target, chosen when built (KORVANE_FUZZ_TARGET).
#include "fuzz/FuzzTargets.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KORVANE_FUZZ_TARGET(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}

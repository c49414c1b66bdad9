#pragma once
// Targets for coverage-guided fuzzing. Each takes any bytes, must never crash, hang or
// leak, and checks what must hold for every input; a broken promise aborts with a
// message. The same functions run over the seed corpora in the normal test suite.

#include <string_view>

void FuzzRtfReader(std::string_view data);
void FuzzRtfRoundTrip(std::string_view data);
void FuzzHexAndChecksums(std::string_view data);
void FuzzSettingsLoader(std::string_view data);
void FuzzModbusDecoder(std::string_view data);
void FuzzTelnetDecoder(std::string_view data);

// Aborts with `what` when `condition` is false.
void FuzzCheck(bool condition, const char* what);

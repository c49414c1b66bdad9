#include "serial/PortMessages.h"

#include <cstdio>

std::string SystemErrorTail(int32_t systemError) {
    char tail[48];
    std::snprintf(tail, sizeof tail, " (win error code: %d)", static_cast<int>(systemError));
    return tail;
}

// Windows names neither the holder of a port nor a group that grants it; its messages stay
// as they are.
TPortHolder FindPortHolder(const std::string&, const TPortProbe&) {
    return TPortHolder{};
}

std::string OpenFailureReason(const std::string&, const std::string&, int32_t, const TPortProbe&) {
    return std::string();
}

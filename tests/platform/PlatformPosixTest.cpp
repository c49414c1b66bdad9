#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(Platform, LocalAppDataFollowsXdgThenHome) {
    const char* oldXdg = std::getenv("XDG_DATA_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    const std::string savedHome = oldHome ? oldHome : "";

    setenv("XDG_DATA_HOME", "/srv/data/", 1);
    EXPECT_EQ(LocalAppDataPath(), "/srv/data");
    setenv("XDG_DATA_HOME", "relative/ignored", 1);
    setenv("HOME", "/home/tester", 1);
    EXPECT_EQ(LocalAppDataPath(), "/home/tester/.local/share");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(LocalAppDataPath(), "/home/tester/.local/share");

    if (oldXdg) {
        setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    }
    if (oldHome) {
        setenv("HOME", savedHome.c_str(), 1);
    }
}

#pragma once
// A private folder per test, removed afterwards, with XDG_DATA_HOME pointing into it.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/korvane-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        if (const char* old = std::getenv("XDG_DATA_HOME")) {
            m_oldXdg = old;
        }
        setenv("XDG_DATA_HOME", (m_root + "/xdg").c_str(), 1);
    }
    void TearDown() override {
        if (m_oldXdg) {
            setenv("XDG_DATA_HOME", m_oldXdg->c_str(), 1);
        } else {
            unsetenv("XDG_DATA_HOME");
        }
        std::error_code ec;
        // A test may leave a folder read-only; make it removable again.
        std::filesystem::permissions(m_root, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_root, ec);
    }

    std::string Root() const { return m_root; }
    std::string Folder() const { return m_root + "/xdg/Dolvy/Korvane"; }

    static void WriteRaw(const std::string& path, const std::string& bytes) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr) << path;
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    static std::string ReadRaw(const std::string& path) {
        std::string data;
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) {
            ADD_FAILURE() << "cannot open " << path;
            return data;
        }
        char buf[4096];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
            data.append(buf, n);
        }
        std::fclose(f);
        return data;
    }

private:
    std::string m_root;
    std::optional<std::string> m_oldXdg;
};

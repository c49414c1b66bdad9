#pragma once
// A private folder per test, removed afterwards, with XDG_DATA_HOME pointing into it (which
// only POSIX systems follow).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

#ifdef _WIN32
inline void SetTestEnv(const char* name, const char* value) {
    _putenv_s(name, value != nullptr ? value : "");
}
#else
inline void SetTestEnv(const char* name, const char* value) {
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}
#endif

class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        const std::filesystem::path temp = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && m_root.empty(); ++attempt) {
            const std::filesystem::path candidate =
                temp / ("korvane-settings-" + std::to_string(random()));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) {
                m_root = candidate.string();
            }
        }
        ASSERT_FALSE(m_root.empty());
        if (const char* old = std::getenv("XDG_DATA_HOME")) {
            m_oldXdg = old;
        }
        SetTestEnv("XDG_DATA_HOME", (m_root + "/xdg").c_str());
    }
    void TearDown() override {
        SetTestEnv("XDG_DATA_HOME", m_oldXdg ? m_oldXdg->c_str() : nullptr);
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

#pragma once
// The QApplication that GUI tests need, created once per test program before the first
// test runs. Include it in any test file; it registers itself.

#include "ui/main/Application.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

class QtTestApp : public ::testing::Environment {
public:
    void SetUp() override {
        if (QApplication::instance() == nullptr) {
            // Never a real display: tests must not depend on a window system.
            setenv("QT_QPA_PLATFORM", "offscreen", 0);
            // The program's own application object, so its general error handler is tested too.
            m_app = std::make_unique<TKorvaneApplication>(m_argc, m_argv);
        }
    }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[6] = "tests";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

inline ::testing::Environment* const g_qtTestApp =
    ::testing::AddGlobalTestEnvironment(new QtTestApp);

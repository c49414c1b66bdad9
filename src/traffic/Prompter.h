#pragma once
// The message boxes that engines raise. The window side shows a real warning box (warning
// icon, one OK button, modal to its owner); tests record the calls. An engine must have
// put itself into a safe state before it calls Warning: timers keep firing while a modal
// box is open.

#include <string>

// The window a box belongs to; the window side maps it to the real window.
enum class PromptOwner {
    MainWindow,
    SendWindow,
};

class Prompter {
public:
    virtual ~Prompter() = default;
    virtual void Warning(const std::string& text, const std::string& caption,
                         PromptOwner owner) = 0;
};

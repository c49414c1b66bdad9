#pragma once
// A prompter whose answers the test sets beforehand and which records every box, so no
// dialog ever waits for a person.

#include "ui/main/UiPrompter.h"

#include <QStringList>
#include <deque>
#include <utility>
#include <vector>

class ScriptedPrompter final : public TUiPrompter {
public:
    struct Box {
        QString text;
        QString caption;
    };
    using TUiPrompter::Warning;
    void Warning(QWidget* /*owner*/, const QString& text, const QString& caption) override {
        warnings.push_back({text, caption});
    }
    bool Question(QWidget* /*owner*/, const QString& text, const QString& caption) override {
        questions.push_back({text, caption});
        if (answers.empty()) {
            return false;
        }
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    QString SaveFileName(QWidget* /*owner*/, const QString& proposed, const QString&) override {
        proposedNames << proposed;
        return TakeName();
    }
    QString OpenFileName(QWidget* /*owner*/, const QString& initial, const QString&) override {
        initialNames << initial;
        return TakeName();
    }
    void OpenUrl(const QString& url) override { urls << url; }

    std::vector<Box> warnings;
    std::vector<Box> questions;
    std::deque<bool> answers;
    std::deque<QString> fileNames; // an empty name cancels the dialog
    QStringList proposedNames, initialNames, urls;

private:
    QString TakeName() {
        if (fileNames.empty()) {
            return QString();
        }
        QString name = fileNames.front();
        fileNames.pop_front();
        return name;
    }
};

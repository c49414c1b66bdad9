#pragma once
// A prompter whose answers the test sets beforehand and which records every box, so no
// dialog ever waits for a person.

#include "ui/main/UiPrompter.h"

#include <QStringList>
#include <cstdint>
#include <deque>
#include <optional>
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
    QString OpenFileName(QWidget* /*owner*/, const QString& initial,
                         const QString& filter) override {
        initialNames << initial;
        openFilters << filter;
        return TakeName();
    }
    bool OpenUrl(const QString& url) override {
        urls << url;
        return browserStarts;
    }
    void Message(QWidget* /*owner*/, const QString& text, const QString& caption) override {
        messages.push_back({text, caption});
    }
    QString FolderName(QWidget* /*owner*/, const QString& title, const QString& initial) override {
        folderRequests.push_back({initial, title});
        return TakeName();
    }
    bool ChooseColor(QWidget* /*owner*/, uint32_t& bgr) override {
        colorDialogStarts.push_back(bgr);
        std::optional<uint32_t> answer;
        if (!colors.empty()) {
            answer = colors.front();
            colors.pop_front();
        }
        if (answer) {
            bgr = *answer;
        }
        return answer.has_value();
    }

    std::vector<Box> warnings;
    std::vector<Box> questions;
    std::vector<Box> messages;
    std::vector<Box> folderRequests; // the folder shown first, and the browser's title
    std::deque<bool> answers;
    std::deque<QString> fileNames; // also folder names; an empty one cancels the dialog
    QStringList proposedNames, initialNames, urls;
    QStringList openFilters;   // "Name|pattern|Name|pattern", as the open dialogs take them
    bool browserStarts = true; // what OpenUrl answers
    std::deque<std::optional<uint32_t>> colors; // std::nullopt cancels the colour dialog
    std::vector<uint32_t> colorDialogStarts;    // the colour each colour dialog opened with

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

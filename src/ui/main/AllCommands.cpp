#include "ui/main/AllCommands.h"

#include <QAction>
#include <QShortcut>
#include <QVariant>

namespace {

const char* const kHidden = "korvaneHiddenCommand";
const char* const kStandIn = "korvaneStandInShortcut";

} // namespace

void MarkHiddenCommand(QAction* action, QShortcut* standIn) {
    action->setProperty(kHidden, true);
    if (standIn != nullptr) {
        action->setProperty(kStandIn, QVariant::fromValue<QObject*>(standIn));
    }
    action->setVisible(false);
}

bool IsHiddenCommand(const QAction* action) {
    return action->property(kHidden).toBool();
}

void ShowHiddenCommands(QObject* root, bool show) {
    for (QAction* a : root->findChildren<QAction*>()) {
        if (!IsHiddenCommand(a)) {
            continue;
        }
        a->setVisible(show);
        if (auto* standIn = qobject_cast<QShortcut*>(a->property(kStandIn).value<QObject*>())) {
            standIn->setEnabled(!show);
        }
    }
}

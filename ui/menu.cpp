#include "ui/menu.h"

#include "res/dialogs.h"

#include <QActionGroup>
#include <QMenu>

CMenu::CMenu(std::span<const res::MenuItem> items, QWidget* parent)
    : QObject(parent), m_bar(new QMenuBar(parent)) {
    Build(items, m_bar);
}

void CMenu::Build(std::span<const res::MenuItem> items, QWidget* into) {
    for (const res::MenuItem& item : items) {
        if (item.text == nullptr) {
            auto* separator = new QAction(into);
            separator->setSeparator(true);
            into->addAction(separator);
            continue;
        }
        const QString text = QString::fromUtf8(item.text);
        if (!item.children.empty()) {
            auto* popup = new QMenu(text, into);
            m_popups.append(popup);
            const int position = static_cast<int>(into->actions().size());
            connect(popup, &QMenu::aboutToShow, this,
                    [this, popup, position] { Q_EMIT PopupAboutToShow(popup, position); });
            Build(item.children, popup);
            into->addAction(popup->menuAction());
            continue;
        }
        auto* action = new QAction(text, into);
        const int id = item.id;
        connect(action, &QAction::triggered, this, [this, id] { Q_EMIT CommandChosen(id); });
        m_commands.insert(id, action);
        into->addAction(action);
    }
}

QMenu* CMenu::Popup(const QString& text) const {
    for (QMenu* popup : m_popups) {
        if (popup->title() == text) {
            return popup;
        }
    }
    return nullptr;
}

void CMenu::CheckMenuRadioItem(int first, int last, int check) {
    if (m_radio == nullptr) {
        m_radio = new QActionGroup(this);
        m_radio->setExclusive(true);
    }
    for (int id = first; id <= last; ++id) {
        if (QAction* action = Command(id)) {
            action->setCheckable(true);
            m_radio->addAction(action);
            action->setChecked(id == check);
        }
    }
}

void CMenu::EnableMenuItem(int id, bool enable) {
    if (QAction* action = Command(id)) {
        action->setEnabled(enable);
    }
}

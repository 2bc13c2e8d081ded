#pragma once
// The dialog's menu bar, built from the menu resource, with its commands named by id.

#include <QHash>
#include <QMenuBar>
#include <span>

namespace res {
struct MenuItem;
}
class QActionGroup;

class CMenu : public QObject {
    Q_OBJECT
public:
    CMenu(std::span<const res::MenuItem> items, QWidget* parent);

    QMenuBar* MenuBar() const { return m_bar; }
    QAction* Command(int id) const { return m_commands.value(id, nullptr); }
    // The popup whose title is text (with its '&'), searched depth first; null if none.
    QMenu* Popup(const QString& text) const;

    // Marks check and unmarks the other commands first..last, as one radio group.
    void CheckMenuRadioItem(int first, int last, int check);
    void EnableMenuItem(int id, bool enable);

Q_SIGNALS:
    // A command was chosen, by mouse, keyboard or accelerator.
    void CommandChosen(int id);
    // A popup is about to open, at position within its parent; the dialog's menu update
    // listens here.
    void PopupAboutToShow(QMenu* popup, int position);

private:
    void Build(std::span<const res::MenuItem> items, QWidget* into);

    QMenuBar* m_bar;
    QHash<int, QAction*> m_commands;
    QList<QMenu*> m_popups;
    QActionGroup* m_radio = nullptr;
};

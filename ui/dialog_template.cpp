#include "ui/dialog_template.h"

#include "res/dialogs.h"
#include "ui/image_list.h"
#include "ui/report_tree.h"
#include "ui/spin_button.h"
#include "ui/tab_ctrl.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
bool TakesFocus(const QWidget* w) {
    return (w->focusPolicy() & Qt::TabFocus) != 0;
}
} // namespace

BuiltTemplate BuildFromTemplate(const res::DialogTemplate& tmpl, QWidget* client) {
    using res::ControlClass;
    BuiltTemplate built;
    built.base = BaseUnitsOf(client->font());
    built.clientSize = MapDialogRect(built.base, 0, 0, tmpl.w, tmpl.h).size();

    std::vector<QWidget*> made; // in template order
    QWidget* previousStop = nullptr;
    for (const res::ControlTemplate& c : tmpl.controls) {
        const QString text = QString::fromUtf8(c.text);
        QRect rect = MapDialogRect(built.base, c.x, c.y, c.w, c.h);
        QWidget* w = nullptr;
        switch (c.cls) {
        case ControlClass::Static:
            w = new QLabel(text, client);
            break;
        case ControlClass::GroupBox:
            w = new QGroupBox(text, client);
            w->setFocusPolicy(Qt::NoFocus);
            break;
        case ControlClass::ComboBox: {
            auto* combo = new QComboBox(client);
            combo->setEditable(true);
            // The list changes only through the program; no completion rewrites typed text.
            combo->setInsertPolicy(QComboBox::NoInsert);
            combo->setCompleter(nullptr);
            combo->setDuplicatesEnabled(true);
            // The template's height is the dropped-down list's; the box is one line high.
            rect.setHeight(combo->sizeHint().height());
            w = combo;
            break;
        }
        case ControlClass::Tree: {
            auto* tree = new ReportTreeWidget(client);
            tree->setAccessibleName(text);
            w = tree;
            break;
        }
        case ControlClass::Button:
        case ControlClass::DefButton: {
            auto* button = new QPushButton(text, client);
            // Only a default button answers Enter; others only when clicked or spaced.
            const bool isDefault = c.cls == ControlClass::DefButton;
            button->setAutoDefault(isDefault);
            button->setDefault(isDefault);
            w = button;
            break;
        }
        case ControlClass::Edit:
            w = new QLineEdit(client);
            break;
        case ControlClass::ReadOnlyEdit: {
            auto* edit = new QLineEdit(client);
            edit->setReadOnly(true);
            edit->setFocusPolicy(Qt::ClickFocus); // not a tab stop
            w = edit;
            break;
        }
        case ControlClass::UpDown:
            w = new CSpinButtonCtrl(client);
            break;
        case ControlClass::Tab:
            w = new CTabCtrl(client);
            break;
        case ControlClass::Icon: {
            auto* icon = new QLabel(client);
            icon->setPixmap(LoadMainIcon().pixmap(32, 32));
            w = icon;
            break;
        }
        }
        if (c.name[0] != '\0') {
            w->setObjectName(QString::fromUtf8(c.name));
        }
        w->setGeometry(rect);
        if (c.cls == ControlClass::UpDown && !made.empty()) {
            if (auto* edit = qobject_cast<QLineEdit*>(made.back())) {
                static_cast<CSpinButtonCtrl*>(w)->SetBuddy(edit);
            }
        }
        if (c.cls == ControlClass::Tab) {
            w->lower(); // beneath the controls it carries
        }
        if (c.id != res::IDC_STATIC) {
            built.controls.insert(c.id, w);
        }
        if (TakesFocus(w)) {
            if (previousStop != nullptr) {
                QWidget::setTabOrder(previousStop, w);
            }
            previousStop = w;
        }
        made.push_back(w);
    }
    // A label's access key moves the focus to the next control that takes it.
    for (size_t i = 0; i < made.size(); ++i) {
        auto* label = qobject_cast<QLabel*>(made[i]);
        if (label == nullptr || !label->text().contains(QLatin1Char('&'))) {
            continue;
        }
        for (size_t j = i + 1; j < made.size(); ++j) {
            if (TakesFocus(made[j])) {
                label->setBuddy(made[j]);
                break;
            }
        }
    }
    return built;
}

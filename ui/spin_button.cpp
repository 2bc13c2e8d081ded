#include "ui/spin_button.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>

#include <algorithm>

namespace {
QToolButton* MakeArrow(Qt::ArrowType arrow, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setAutoRepeatDelay(400); // ms before a held arrow repeats
    button->setAutoRepeatInterval(60);
    button->setFocusPolicy(Qt::NoFocus); // the spins are no tab stops
    return button;
}
} // namespace

CSpinButtonCtrl::CSpinButtonCtrl(QWidget* parent)
    : QWidget(parent), m_up(MakeArrow(Qt::UpArrow, this)), m_down(MakeArrow(Qt::DownArrow, this)) {
    setFocusPolicy(Qt::NoFocus);
    connect(m_up, &QToolButton::clicked, this, [this] { Step(+1); });
    connect(m_down, &QToolButton::clicked, this, [this] { Step(-1); });
}

void CSpinButtonCtrl::SetBuddy(QLineEdit* edit) {
    m_buddy = edit;
    edit->installEventFilter(this);
    // The position follows the edit while it holds a number in range.
    connect(edit, &QLineEdit::textChanged, this, &CSpinButtonCtrl::Follow);
    // Take the edit's right edge, so edit and arrows together fill the edit's old place.
    QRect r = edit->geometry();
    const int w = width();
    r.setWidth(qMax(1, r.width() - w));
    edit->setGeometry(r);
    setGeometry(r.right() + 1, r.top(), w, r.height());
}

void CSpinButtonCtrl::SetRange(int lower, int upper) {
    m_lower = lower;
    m_upper = upper;
    m_nPos = std::clamp(m_nPos, m_lower, m_upper);
    if (m_buddy != nullptr) {
        Follow(m_buddy->text());
    }
}

void CSpinButtonCtrl::Follow(const QString& text) {
    bool ok = false;
    const qlonglong n = text.trimmed().toLongLong(&ok);
    if (ok && n >= m_lower && n <= m_upper) {
        m_nPos = static_cast<int>(n);
    }
}

void CSpinButtonCtrl::Step(int delta) {
    if (m_buddy == nullptr) {
        return;
    }
    bool ok = false;
    qlonglong now = m_buddy->text().trimmed().toLongLong(&ok);
    if (!ok) {
        now = m_nPos; // no number: never a jump to a bound
    }
    m_nPos = static_cast<int>(std::clamp<qlonglong>(now + delta, m_lower, m_upper));
    m_buddy->setText(QString::number(m_nPos));
}

bool CSpinButtonCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_buddy && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            Step(key == Qt::Key_Up ? +1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CSpinButtonCtrl::resizeEvent(QResizeEvent*) {
    const int half = height() / 2;
    m_up->setGeometry(0, 0, width(), half);
    m_down->setGeometry(0, half, width(), height() - half);
}

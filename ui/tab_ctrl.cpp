#include "ui/tab_ctrl.h"

#include <QPainter>
#include <QSignalBlocker>
#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>
#include <QTabBar>

CTabCtrl::CTabCtrl(QWidget* parent) : QWidget(parent), m_bar(new QTabBar(this)) {
    m_bar->setDrawBase(false);
    m_bar->setExpanding(false);
    m_bar->setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(m_bar);
    setFocusPolicy(Qt::StrongFocus);
    connect(m_bar, &QTabBar::currentChanged, this, [this] { Q_EMIT SelChange(); });
}

void CTabCtrl::InsertItem(int pos, const QString& text) {
    // The first insert makes item 0 current; that is no user's selection.
    const QSignalBlocker block(m_bar);
    m_bar->insertTab(pos, text);
    FitBar();
}

int CTabCtrl::GetCurSel() const {
    return m_bar->currentIndex();
}

void CTabCtrl::SetCurSel(int index) {
    const QSignalBlocker block(m_bar);
    m_bar->setCurrentIndex(index);
}

int CTabCtrl::GetItemCount() const {
    return m_bar->count();
}

QString CTabCtrl::GetItemText(int index) const {
    return m_bar->tabText(index);
}

void CTabCtrl::FitBar() {
    // The strip keeps its natural width; it scrolls its tabs when the control is narrower.
    m_bar->setGeometry(0, 0, qMin(width(), m_bar->sizeHint().width()), m_bar->sizeHint().height());
}

void CTabCtrl::resizeEvent(QResizeEvent*) {
    FitBar();
}

void CTabCtrl::paintEvent(QPaintEvent*) {
    // The pane's frame from just under the tabs to the control's edges.
    QStylePainter painter(this);
    QStyleOptionTabWidgetFrame frame;
    frame.initFrom(this);
    const int top = m_bar->sizeHint().height() -
                    style()->pixelMetric(QStyle::PM_TabBarBaseOverlap, nullptr, m_bar);
    frame.rect = QRect(0, top, width(), height() - top);
    frame.tabBarSize = m_bar->sizeHint();
    frame.shape = QTabBar::RoundedNorth;
    frame.tabBarRect = m_bar->geometry();
    frame.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    painter.drawPrimitive(QStyle::PE_FrameTabWidget, frame);
}

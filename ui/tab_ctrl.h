#pragma once
// The tab control: a strip of tabs over a framed pane that lies beneath the page controls.
// Selecting by program (SetCurSel, InsertItem) never raises SelChange; only the user does.

#include <QWidget>

class QTabBar;

class CTabCtrl : public QWidget {
    Q_OBJECT
public:
    explicit CTabCtrl(QWidget* parent = nullptr);

    void InsertItem(int pos, const QString& text);
    int GetCurSel() const; // -1 when there is no selection
    void SetCurSel(int index);
    int GetItemCount() const;
    QString GetItemText(int index) const;
    QTabBar* TabBar() const { return m_bar; }

Q_SIGNALS:
    // The user selected another tab (click or arrow keys).
    void SelChange();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void FitBar();
    QTabBar* m_bar;
};

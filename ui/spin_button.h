#pragma once
// A small up-down control of our own: two arrows at the right edge of an edit, stepping the
// plain decimal number in it by one within its bounds, without wrapping. The Up and Down keys
// in the edit step it too, and an arrow held down repeats. The edit keeps accepting any text;
// whoever reads it validates it.

#include <QWidget>

class QLineEdit;
class QToolButton;

class CSpinButtonCtrl : public QWidget {
    Q_OBJECT
public:
    explicit CSpinButtonCtrl(QWidget* parent = nullptr);

    // Attaches to edit: the control takes the edit's right edge (the edit gives up that much
    // width) and watches its keys.
    void SetBuddy(QLineEdit* edit);
    QLineEdit* GetBuddy() const { return m_buddy; }
    void SetRange(int lower, int upper);
    int GetLower() const { return m_lower; }
    int GetUpper() const { return m_upper; }
    // Steps the number in the edit by delta, stopping at the bounds. Text that is no number
    // steps from the position: the last number in range that the edit held.
    void Step(int delta);
    int GetPos() const { return m_nPos; }

    QToolButton* UpArrow() const { return m_up; }
    QToolButton* DownArrow() const { return m_down; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Takes text as the position when it is a number in range.
    void Follow(const QString& text);

    QLineEdit* m_buddy = nullptr;
    QToolButton* m_up;
    QToolButton* m_down;
    int m_lower = 0;
    int m_upper = 100;
    int m_nPos = 0; // the last number in range the edit held, or that a step set
};

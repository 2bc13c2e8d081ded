#pragma once
// The About box: the icon, the version line and three lines about this program. OK, Enter,
// Esc and the close box end it.

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

// The help the F1 key brings: a short guide to the four pages and the options.
void ShowHelpGuide(QWidget* parent);

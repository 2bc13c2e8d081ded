#pragma once
// The application object: names the settings root, runs the main dialog, ends with it.

#include <QApplication>

class CMainDlg;

class CProbeApp : public QApplication {
    Q_OBJECT
public:
    CProbeApp(int& argc, char** argv);

    // Runs the one main dialog to its end. Returns false: the application ends with it.
    bool InitInstance();

    CMainDlg* m_pMainWnd = nullptr;
};

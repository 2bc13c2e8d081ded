#include "app/probe_app.h"

#include "ui/main_dlg.h"

CProbeApp::CProbeApp(int& argc, char** argv) : QApplication(argc, argv) {}

bool CProbeApp::InitInstance() {
    // The settings root: Varnstead/<application name>, the name being the executable's.
    setOrganizationName(QStringLiteral("Varnstead"));
    CMainDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal(); // every end of the dialog leads to the same end
    m_pMainWnd = nullptr;
    return false;
}

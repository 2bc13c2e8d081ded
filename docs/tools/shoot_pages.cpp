// Makes the README's pictures: drives the real dialog offscreen through one request on each
// page and saves each page as a PNG, and the statistics window of a ping as another. Meant to run
// in the probe lab, whose client namespace has a target three hops away and a DNS server that knows
// its routers:
//   tests/probe_lab/run_probe_lab.sh build/shoot_pages docs
// (scripts/screenshot does that).

#include "res/resource.h"
#include "ui/main_dlg.h"
#include "ui/run_window.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>

#include <cstdio>

namespace {

bool WaitIdle(QPushButton* button, int ms) {
    QElapsedTimer clock;
    clock.start();
    QApplication::processEvents(QEventLoop::AllEvents, 50);
    while (clock.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (button->text() == "&Start" && button->isEnabled()) {
            return true;
        }
    }
    return false;
}

bool SaveWidget(QWidget* widget, const QString& dir, const char* name) {
    QApplication::processEvents();
    const QString path = dir + "/" + name;
    const bool saved = widget->grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

bool Save(CMainDlg& dlg, const QString& dir, const char* name) {
    // Unfolded, so that the picture shows every detail.
    dlg.Tree(dlg.CurPage()).GetTree()->expandAll();
    return SaveWidget(&dlg, dir, name);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    // The Local Info page shows this machine: it is taken outside the lab (argument
    // --local-info), where the machine's own name resolves.
    const bool localOnly = argc > 2 && QString::fromLocal8Bit(argv[2]) == "--local-info";
    const QString target = qEnvironmentVariable("SABREVIN_PROBE_LAB_TARGET_NAME", "localhost");
    CMainDlg dlg;
    if (!dlg.Create()) {
        return 1;
    }
    dlg.resize(dlg.width() + 120, dlg.height() + 60);
    dlg.show();
    dlg.Options().m_nPackets = 4;
    dlg.Options().m_nTimeout = 1;
    bool ok = true;
    if (localOnly) {
        dlg.OnToolsLocalInfo();
        return Save(dlg, dir, "page-localinfo.png") ? 0 : 1;
    }

    static_cast<QComboBox*>(dlg.GetDlgItem(IDC_PING_HOST))->setEditText(target);
    dlg.OnPingStart();
    ok &= WaitIdle(static_cast<QPushButton*>(dlg.GetDlgItem(IDC_PING_START)), 20000);
    ok &= Save(dlg, dir, "page-ping.png");

    // A longer ping for its statistics window, opened as the tree's "Statistics..." opens it:
    // for the run of the item under the mouse, here the new request's first line.
    dlg.Options().m_nPackets = 10;
    dlg.OnPingStart();
    ok &= WaitIdle(static_cast<QPushButton*>(dlg.GetDlgItem(IDC_PING_START)), 30000);
    ReportTree& pings = dlg.Tree(PAGE_PING);
    RunStatsWindow* stats = OpenRunStatistics(&pings, RunRootOf(pings, pings.ItemOf(pings.Root())));
    ok &= stats != nullptr && SaveWidget(stats, dir, "page-stats.png");
    if (stats != nullptr) {
        stats->close();
    }
    dlg.Options().m_nPackets = 4;

    dlg.OnToolsTrace();
    static_cast<QComboBox*>(dlg.GetDlgItem(IDC_TRACE_HOST))->setEditText(target);
    dlg.OnTraceStart();
    ok &= WaitIdle(static_cast<QPushButton*>(dlg.GetDlgItem(IDC_TRACE_START)), 30000);
    ok &= Save(dlg, dir, "page-trace.png");

    dlg.OnToolsLookup();
    static_cast<QComboBox*>(dlg.GetDlgItem(IDC_LOOKUP_HOST))->setEditText(target);
    dlg.OnLookupStart();
    ok &= WaitIdle(static_cast<QPushButton*>(dlg.GetDlgItem(IDC_LOOKUP_START)), 15000);
    ok &= Save(dlg, dir, "page-lookup.png");
    return ok ? 0 : 1;
}

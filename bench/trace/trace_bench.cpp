// Drives the real dialog offscreen through one trace and prints how long it took and what it
// listed, one hop a line ("N address" or "N *"), for trace_bench.sh to set beside traceroute.
// Not a test: it prints figures.
//
//   trace_bench TARGET TIMEOUT_S HOPS [--one-at-a-time]

#include "res/resource.h"
#include "ui/main_dlg.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRegularExpression>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s TARGET TIMEOUT_S HOPS [--one-at-a-time]\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    CMainDlg dlg;
    if (!dlg.Create()) {
        return 1;
    }
    dlg.show();
    dlg.Options().m_nTimeout = static_cast<uint32_t>(std::atoi(argv[2]));
    dlg.Options().m_nHops = static_cast<uint32_t>(std::atoi(argv[3]));
    dlg.SetTraceOneAtATime(argc > 4 && std::strcmp(argv[4], "--one-at-a-time") == 0);
    auto* button = static_cast<QPushButton*>(dlg.GetDlgItem(IDC_TRACE_START));
    static_cast<QComboBox*>(dlg.GetDlgItem(IDC_TRACE_HOST))->setEditText(argv[1]);
    QElapsedTimer clock;
    clock.start();
    dlg.OnTraceStart();
    while (!(button->text() == "&Start" && button->isEnabled())) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    const qint64 ms = clock.elapsed();
    const QTreeWidgetItem* root = dlg.Tree(PAGE_TRACE).GetTree()->topLevelItem(0);
    static const QRegularExpression address(QStringLiteral("([0-9a-f:.]+)\\]?$"));
    for (int i = 0; root != nullptr && i < root->childCount(); ++i) {
        const QTreeWidgetItem* item = root->child(i);
        const QString text = item->text(0);
        const QString hop = item->child(0)->text(0).mid(6); // "Hop: #N"
        const QString who =
            text == "Request timed out" ? QStringLiteral("*") : address.match(text).captured(1);
        std::printf("%s %s\n", qPrintable(hop), qPrintable(who));
    }
    std::printf("time %.2f s\n", static_cast<double>(ms) / 1000.0);
    dlg.close();
    return 0;
}

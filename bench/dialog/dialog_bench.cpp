// Drives the real dialog offscreen and prints how the GUI thread fares while the workers run:
// the largest stall of its event loop during a 20-packet ping and during a trace, what each
// request costs beyond its round-trip time, and the time from closing the window with a
// request in flight to the end of the process. Not a test: it prints figures.
//
//   dialog_bench LIVE_TARGET SILENT_TARGET      (dotted addresses, reachable from here)

#include "res/resource.h"
#include "ui/main_dlg.h"

#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include <chrono>
#include <cstdio>

namespace {

double Ms(int64_t us) {
    return static_cast<double>(us) / 1000.0;
}

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The largest gap between two ticks of a 1 ms timer, less the 1 ms: how long the event loop
// was kept from running.
class StallMeter : public QObject {
public:
    void Start() {
        m_last = NowUs();
        m_worst = 0;
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const int64_t now = NowUs();
            m_worst = std::max(m_worst, now - m_last - 1000);
            m_last = now;
        });
        m_timer.start(1);
    }
    int64_t Stop() {
        m_timer.stop();
        return m_worst;
    }

private:
    QTimer m_timer;
    int64_t m_last = 0;
    int64_t m_worst = 0;
};

bool WaitIdle(QPushButton* button, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        if (button->text() == "&Start" && button->isEnabled()) {
            return true;
        }
    }
    return false;
}

// Milliseconds of all "RTT: N ms" items of a tree.
int SumRtt(const QString& tree) {
    int sum = 0;
    static const QRegularExpression rtt(QStringLiteral("RTT: (\\d+) ms"));
    for (auto it = rtt.globalMatch(tree); it.hasNext();) {
        sum += it.next().captured(1).toInt();
    }
    return sum;
}

int CloseChild(const char* silent) {
    CMainDlg dlg;
    dlg.Create();
    dlg.show();
    dlg.Options().m_nTimeout = 20;
    dlg.Options().m_nPackets = 5;
    static_cast<QComboBox*>(dlg.GetDlgItem(IDC_PING_HOST))->setEditText(silent);
    dlg.OnPingStart();
    QTimer::singleShot(300, &dlg, [&dlg] {
        std::printf("%lld\n", static_cast<long long>(NowUs()));
        std::fflush(stdout);
        dlg.close();
    });
    dlg.DoModal();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--close-child") {
        QApplication app(argc, argv);
        return CloseChild(argv[2]);
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s LIVE_TARGET SILENT_TARGET\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    {
        CMainDlg dlg;
        dlg.Create();
        dlg.show();
        dlg.Options().m_nTimeout = 1;
        StallMeter meter;

        dlg.Options().m_nPackets = 20;
        auto* pingButton = static_cast<QPushButton*>(dlg.GetDlgItem(IDC_PING_START));
        static_cast<QComboBox*>(dlg.GetDlgItem(IDC_PING_HOST))->setEditText(argv[1]);
        meter.Start();
        const int64_t t0 = NowUs();
        dlg.OnPingStart();
        const bool pinged = WaitIdle(pingButton, 30000);
        const int64_t pingUs = NowUs() - t0;
        const int64_t pingStall = meter.Stop();
        const QString pingTree = dlg.Tree(PAGE_PING).GetTree()->AllText();
        const int replies = static_cast<int>(pingTree.count("Host is alive"));

        auto* traceButton = static_cast<QPushButton*>(dlg.GetDlgItem(IDC_TRACE_START));
        static_cast<QComboBox*>(dlg.GetDlgItem(IDC_TRACE_HOST))->setEditText(argv[1]);
        meter.Start();
        const int64_t t1 = NowUs();
        dlg.OnTraceStart();
        const bool traced = WaitIdle(traceButton, 60000);
        const int64_t traceUs = NowUs() - t1;
        const int64_t traceStall = meter.Stop();
        const QString traceTree = dlg.Tree(PAGE_TRACE).GetTree()->AllText();

        std::printf("ping: 20 requests, %d replies%s, run %.1f ms, sum of RTTs %d ms\n", replies,
                    pinged ? "" : " (did not end)", Ms(pingUs), SumRtt(pingTree));
        std::printf("  cost per request beyond its RTT: %.3f ms (goal < 1 ms)\n",
                    (Ms(pingUs) - SumRtt(pingTree)) / 20.0);
        std::printf("  largest event-loop stall during the ping: %.2f ms (goal < 16 ms)\n",
                    Ms(pingStall));
        std::printf(
            "trace%s: %d hops in %.1f ms, largest event-loop stall: %.2f ms (goal < 16 ms)\n",
            traced ? "" : " (did not end)", static_cast<int>(traceTree.count("Hop: #")),
            Ms(traceUs), Ms(traceStall));
    }

    // Close with a request in flight: a child process pings the silent target with a 20 s
    // time-out and closes its window after 300 ms; from its close to its exit.
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return 1;
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        execl("/proc/self/exe", argv[0], "--close-child", argv[2], static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    char line[64] = {};
    const ssize_t n = read(pipeFds[0], line, sizeof line - 1);
    waitpid(child, nullptr, 0);
    const int64_t exited = NowUs();
    if (n > 0) {
        std::printf("close to process exit with a request in flight: %.1f ms (goal < 1000 ms)\n",
                    Ms(exited - std::atoll(line)));
    }
    return 0;
}

#pragma once
// The views of a page's Ping and Trace runs beside its tree: the statistics window (figures,
// and for a trace one row per hop, over a round-trip chart) and "Save As" of the page's
// requests as text, CSV or JSON. Both are made from the runs' records (net/run_record.h), never
// from the tree's text, except the text format, which is the tree's own "Copy All".
//
// A statistics window is a top-level window of its own, owned by the page's dialog: it follows
// its run live (RunLog::Changed), closes when the run's record goes (Clear) and when the dialog
// ends. Several may be open at once.

#include "net/run_record.h"
#include "ui/report_tree.h"

#include <QPointer>
#include <QWidget>

#include <optional>
#include <vector>

class QLabel;
class QMenu;
class QTreeWidget;

// Round trips as a chart: one point per request (ping) or hop (trace), lost ones marked with
// a red cross on the axis. Drawn with QPainter: a few dozen points need no chart library.
class RttChart : public QWidget {
public:
    struct Point {
        uint32_t seq = 0;
        std::optional<uint64_t> rttUs; // absent: lost / silent
    };
    explicit RttChart(QWidget* parent = nullptr);
    void SetPoints(std::vector<Point> points);
    const std::vector<Point>& Points() const { return m_points; }
    QSize sizeHint() const override { return {420, 180}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<Point> m_points;
};

class RunStatsWindow : public QWidget {
    Q_OBJECT
public:
    // The window of the run under root in report, over owner (the page's dialog).
    RunStatsWindow(QWidget* owner, ReportTree* report, HTREEITEM root);

    HTREEITEM Root() const { return m_root; }
    // What Ctrl+C copies.
    QString Text() const;
    const RttChart* Chart() const { return m_chart; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Refresh();

    QPointer<RunLog> m_log;
    HTREEITEM m_root;
    QLabel* m_summary = nullptr;
    QTreeWidget* m_hops = nullptr; // trace only
    RttChart* m_chart = nullptr;
};

// The context menu's run actions: "&Statistics..." for the Ping or Trace request of the current
// item (disabled where the item belongs to none), "Sa&ve As..." for the page's requests.
void AddRunActions(QMenu* menu, ReportTreeWidget* widget, ReportTree* report);

// The root handle of the run an item belongs to, or a null handle.
HTREEITEM RunRootOf(const ReportTree& report, const QTreeWidgetItem* item);

// Opens a new statistics window for the run under root.
RunStatsWindow* OpenRunStatistics(ReportTree* report, HTREEITEM root);

// The page's requests in a format: text is exactly what "Copy All" copies.
QByteArray ExportRuns(const ReportTree& report, ExportFormat format);
// Writes them to path; a failed write says so in a message box over parent and leaves the old
// file as it was.
bool SaveRunsAs(QWidget* parent, const ReportTree& report, const QString& path,
                ExportFormat format);

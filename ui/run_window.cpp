#include "ui/run_window.h"

#include "ui/message_box.h"

#include <QClipboard>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

RttChart::RttChart(QWidget* parent) : QWidget(parent) {
    setMinimumSize(240, 120);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void RttChart::SetPoints(std::vector<Point> points) {
    m_points = std::move(points);
    update();
}

void RttChart::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    p.setRenderHint(QPainter::Antialiasing);
    const QFontMetrics fm = fontMetrics();
    uint64_t top = 0;
    for (const Point& pt : m_points) {
        top = std::max(top, pt.rttUs.value_or(0));
    }
    // 10% headroom over the slowest answer; a floor of 10 us keeps a lab's microsecond round trips
    // readable instead of flattening them against a fixed millisecond scale.
    top = std::max<uint64_t>(top + top / 10, 10);
    const QString topText = FormatMs(top);
    const int left = fm.horizontalAdvance(topText) + 8;
    const QRect area(left, fm.height() / 2 + 4, width() - left - 10,
                     height() - fm.height() * 2 - 8);
    if (area.width() < 10 || area.height() < 10) {
        return;
    }
    const QColor ink = palette().text().color();
    p.setPen(ink);
    p.drawLine(area.bottomLeft(), area.topLeft());
    p.drawLine(area.bottomLeft(), area.bottomRight());
    p.drawText(QRect(0, area.top() - fm.height() / 2, left - 4, fm.height()),
               Qt::AlignRight | Qt::AlignVCenter, topText);
    p.drawText(QRect(0, area.bottom() - fm.height() / 2, left - 4, fm.height()),
               Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("0"));
    if (m_points.empty()) {
        return;
    }
    const int n = static_cast<int>(m_points.size());
    auto xOf = [&](int i) {
        return n == 1 ? area.center().x() : area.left() + 6 + i * (area.width() - 12) / (n - 1);
    };
    auto yOf = [&](uint64_t us) {
        return area.bottom() -
               static_cast<int>(static_cast<double>(us) / static_cast<double>(top) * area.height());
    };
    // The line joins answered neighbours only: a lost request breaks it.
    const QColor line = palette().highlight().color();
    p.setPen(QPen(line, 2));
    for (int i = 1; i < n; ++i) {
        if (m_points[i - 1].rttUs && m_points[i].rttUs) {
            p.drawLine(xOf(i - 1), yOf(*m_points[i - 1].rttUs), xOf(i), yOf(*m_points[i].rttUs));
        }
    }
    for (int i = 0; i < n; ++i) {
        const int x = xOf(i);
        if (m_points[i].rttUs) {
            p.setPen(Qt::NoPen);
            p.setBrush(line);
            p.drawEllipse(QPoint(x, yOf(*m_points[i].rttUs)), 3, 3);
        } else {
            p.setPen(QPen(Qt::red, 2));
            const int y = area.bottom();
            p.drawLine(x - 4, y - 4, x + 4, y + 4);
            p.drawLine(x - 4, y + 4, x + 4, y - 4);
        }
    }
    // The first and last numbers under the axis (and every one when they fit).
    p.setPen(ink);
    const int step = std::max(1, n * fm.horizontalAdvance(QStringLiteral("000")) / area.width());
    for (int i = 0; i < n; i += step) {
        const QString label = QString::number(m_points[i].seq);
        p.drawText(QRect(xOf(i) - 20, area.bottom() + 4, 40, fm.height()), Qt::AlignHCenter, label);
    }
}

RunStatsWindow::RunStatsWindow(QWidget* owner, ReportTree* report, HTREEITEM root)
    : QWidget(owner, Qt::Window), m_log(&report->Runs()), m_root(root) {
    setAttribute(Qt::WA_DeleteOnClose);
    setFocusPolicy(Qt::StrongFocus);
    auto* layout = new QVBoxLayout(this);
    m_summary = new QLabel(this);
    m_summary->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(m_summary);
    const RunRecord* run = m_log->Find(root.id);
    if (run != nullptr && run->kind == RunKind::Trace) {
        m_hops = new QTreeWidget(this);
        m_hops->setFocusPolicy(Qt::NoFocus);
        m_hops->setRootIsDecorated(false);
        m_hops->setHeaderLabels(
            {tr("Hop"), tr("Address"), tr("Name"), tr("Round trip"), tr("Tries")});
        m_hops->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
        layout->addWidget(m_hops, 1);
    }
    m_chart = new RttChart(this);
    layout->addWidget(m_chart, 1);
    connect(m_log.data(), &RunLog::Changed, this, [this](quint64 changed) {
        if (changed == m_root.id) {
            Refresh();
        }
    });
    connect(m_log.data(), &RunLog::Cleared, this, &QWidget::close);
    // The dialog ends (Esc, the close box, Exit): its statistics go with it.
    if (auto* dialog = qobject_cast<QDialog*>(owner)) {
        connect(dialog, &QDialog::finished, this, &QWidget::close);
    }
    Refresh();
    setFocus(); // Ctrl+C reaches the window: nothing in it takes the focus
}

void RunStatsWindow::Refresh() {
    const RunRecord* run = m_log ? m_log->Find(m_root.id) : nullptr;
    if (run == nullptr) {
        close();
        return;
    }
    const QString text = StatisticsText(*run);
    setWindowTitle(text.section(QLatin1Char('\n'), 0, 0));
    std::vector<RttChart::Point> points;
    for (const ResultRecord& r : run->results) {
        points.push_back({r.seq, r.Answered() ? std::optional<uint64_t>(r.rttUs) : std::nullopt});
    }
    m_chart->SetPoints(std::move(points));
    if (m_hops == nullptr) {
        m_summary->setText(text.section(QLatin1Char('\n'), 1).trimmed());
        return;
    }
    m_summary->setText(text.section(QLatin1Char('\n'), 0, 0));
    const std::vector<HopRow> rows = TraceHops(*run);
    // Results only grow: add the new rows.
    for (size_t i = static_cast<size_t>(m_hops->topLevelItemCount()); i < rows.size(); ++i) {
        const HopRow& row = rows[i];
        m_hops->addTopLevelItem(new QTreeWidgetItem(
            {QString::number(row.hop), row.address, row.name,
             row.rttUs ? FormatMs(*row.rttUs) : tr("timed out"), QString::number(row.tries)}));
    }
}

QString RunStatsWindow::Text() const {
    const RunRecord* run = m_log ? m_log->Find(m_root.id) : nullptr;
    return run != nullptr ? StatisticsText(*run) : QString();
}

void RunStatsWindow::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        QGuiApplication::clipboard()->setText(Text());
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

HTREEITEM RunRootOf(const ReportTree& report, const QTreeWidgetItem* item) {
    if (item == nullptr) {
        return {};
    }
    while (item->parent() != nullptr) {
        item = item->parent();
    }
    const HTREEITEM root = ReportTree::HandleOf(item);
    return report.Runs().Find(root.id) != nullptr ? root : HTREEITEM{};
}

RunStatsWindow* OpenRunStatistics(ReportTree* report, HTREEITEM root) {
    if (report->Runs().Find(root.id) == nullptr) {
        return nullptr;
    }
    auto* window = new RunStatsWindow(report->GetTree()->window(), report, root);
    window->show();
    return window;
}

namespace {

const QString kTextFilter = QStringLiteral("Text (*.txt)");
const QString kCsvFilter = QStringLiteral("CSV (*.csv)");
const QString kJsonFilter = QStringLiteral("JSON (*.json)");

void SaveRunsWithDialog(QWidget* parent, ReportTree* report) {
    QString filter = kTextFilter;
    QString path = QFileDialog::getSaveFileName(parent, QObject::tr("Save As"), QString(),
                                                kTextFilter + QStringLiteral(";;") + kCsvFilter +
                                                    QStringLiteral(";;") + kJsonFilter,
                                                &filter);
    if (path.isEmpty()) {
        return;
    }
    const ExportFormat chosen = filter == kCsvFilter    ? ExportFormat::Csv
                                : filter == kJsonFilter ? ExportFormat::Json
                                                        : ExportFormat::Text;
    const ExportFormat format = FormatForPath(path, chosen);
    if (QFileInfo(path).suffix().isEmpty()) {
        path += chosen == ExportFormat::Csv    ? QStringLiteral(".csv")
                : chosen == ExportFormat::Json ? QStringLiteral(".json")
                                               : QStringLiteral(".txt");
    }
    SaveRunsAs(parent, *report, path, format);
}

} // namespace

void AddRunActions(QMenu* menu, ReportTreeWidget* widget, ReportTree* report) {
    menu->addSeparator();
    const HTREEITEM root = RunRootOf(*report, widget->currentItem());
    QAction* stats = menu->addAction(QObject::tr("&Statistics..."), widget,
                                     [report, root] { OpenRunStatistics(report, root); });
    stats->setEnabled(bool(root));
    QAction* save = menu->addAction(QObject::tr("Sa&ve As..."), widget,
                                    [widget, report] { SaveRunsWithDialog(widget, report); });
    save->setEnabled(widget->topLevelItemCount() > 0);
}

QByteArray ExportRuns(const ReportTree& report, ExportFormat format) {
    switch (format) {
    case ExportFormat::Csv:
        return RunsCsv(report.Runs().Runs());
    case ExportFormat::Json:
        return RunsJson(report.Runs().Runs());
    case ExportFormat::Text:
        break;
    }
    return report.GetTree()->AllText().toUtf8();
}

bool SaveRunsAs(QWidget* parent, const ReportTree& report, const QString& path,
                ExportFormat format) {
    QString error;
    if (SaveFileAtomically(path, ExportRuns(report, format), &error)) {
        return true;
    }
    ErrorBox(parent,
             QObject::tr("Unable to save %1:\n%2").arg(QDir::toNativeSeparators(path), error));
    return false;
}

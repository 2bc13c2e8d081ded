#pragma once
// The results of Ping and Trace runs as data: RunRecord holds one run (its target, the options
// in force, and one ResultRecord per reply or time-out), RunLog the runs of one page, named by
// the id of their root item in the page's tree. The window fills them as the workers report
// and shows them (the RTT tooltips, the statistics window, export); everything made from them
// here (statistics, CSV, JSON, the saved file) is widget-free and testable on its own.
//
// Threads: a RunLog is used on the GUI thread only. The workers append through the same
// WorkerGate call that inserts the result's tree items, so a record and its items always agree
// and no lock is needed.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

enum class RunKind { Ping, Trace };

// What became of one request (trace: of one hop).
enum class ResultKind {
    Reply,         // ping: the target answered ("Host is alive")
    OtherNode,     // ping: another node answered ("Destination host unreachable")
    TimedOut,      // ping: no answer; trace: four requests without one
    HopReached,    // trace: a node on the way answered
    TargetReached, // trace: the target answered; the trace ends
};

// The options as they stood when the run started.
struct RunOptions {
    uint32_t packets = 0;
    uint32_t timeout = 0; // seconds
    uint32_t size = 0;    // bytes of echo data, fixed for the run
    uint32_t hops = 0;
};

struct ResultRecord {
    uint32_t seq = 0;      // ping: the packet number from 1; trace: the hop number
    QDateTime sent;        // wall clock (UTC) when the (last) request went out
    uint64_t rttUs = 0;    // round trip, microseconds; 0 for a time-out
    QString from;          // the answering address as text; empty for a time-out
    uint32_t ttl = 0;      // the reply's time-to-live (hop limit)
    uint32_t dataSize = 0; // bytes of echoed data
    ResultKind kind = ResultKind::TimedOut;
    QString name;       // trace: the hop's name by reverse lookup, empty when none
    uint32_t tries = 1; // trace: requests this hop took (4 for a time-out)

    bool Answered() const { return kind != ResultKind::TimedOut; }
};

struct RunRecord {
    RunKind kind = RunKind::Ping;
    QString target;     // the host as typed
    int family = 0;     // AF_INET or AF_INET6
    QString address;    // the target address as text
    RunOptions options; // as at the start
    QDateTime started;  // wall clock (UTC)
    std::vector<ResultRecord> results;
};

// The runs of one page by root item id, oldest first.
class RunLog : public QObject {
    Q_OBJECT
public:
    // A new run under root. A root that has a run already keeps it.
    void Start(uint64_t root, RunRecord run);
    // Appends to root's run; false (nothing kept) when root has none, e.g. after a Clear.
    bool Append(uint64_t root, const ResultRecord& result);
    void Clear();

    const RunRecord* Find(uint64_t root) const;
    std::vector<uint64_t> Roots() const;
    QList<const RunRecord*> Runs() const;
    bool IsEmpty() const { return m_runs.empty(); }

Q_SIGNALS:
    void Changed(quint64 root); // a run began or got a result
    void Cleared();             // every run is gone

private:
    std::map<uint64_t, RunRecord> m_runs; // ids grow, so the map keeps the runs' order
};

// Ping figures as iputils ping defines them: lost = sent - received, where only replies from
// the target count as received; the round trips are over received replies.
struct PingStats {
    uint32_t sent = 0;
    uint32_t received = 0;
    uint32_t lost = 0;
    double lossPercent = 0; // of sent; 0 when none was sent
    // Milliseconds; absent when nothing was received.
    std::optional<double> minMs, avgMs, maxMs;
    std::optional<double> mdevMs; // sqrt(mean(rtt^2) - mean(rtt)^2)
};
PingStats ComputePingStats(const RunRecord& run);

// One hop of a trace as the statistics show it.
struct HopRow {
    uint32_t hop = 0;
    QString address; // empty for a silent hop
    QString name;
    std::optional<uint64_t> rttUs; // absent for a silent hop
    uint32_t tries = 0;
};
std::vector<HopRow> TraceHops(const RunRecord& run);

// Text of the figures (also what the statistics window copies).
QString FormatMs(uint64_t microseconds); // "0.043 ms"
QString StatisticsText(const RunRecord& run);

// Text of an address: family AF_INET with a struct in_addr (network byte order), AF_INET6 with
// a struct in6_addr.
QString AddressText(int family, const void* address);

// Export of a page's runs. Text is the tree's own text ("Copy All"), passed through.
enum class ExportFormat { Text, Csv, Json };
// The format a file name's extension asks for (.txt, .csv, .json), else fallback.
ExportFormat FormatForPath(const QString& path, ExportFormat fallback);
QByteArray RunsCsv(const QList<const RunRecord*>& runs);
QByteArray RunsJson(const QList<const RunRecord*>& runs);
const char* ResultKindName(ResultKind kind);

// Writes data to path through a temporary file and a rename: a failed write (no permission,
// disk full) leaves the old file as it was. On failure returns false and the reason in *error.
bool SaveFileAtomically(const QString& path, const QByteArray& data, QString* error);

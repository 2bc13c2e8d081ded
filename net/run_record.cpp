#include "net/run_record.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

void RunLog::Start(uint64_t root, RunRecord run) {
    if (m_runs.emplace(root, std::move(run)).second) {
        Q_EMIT Changed(root);
    }
}

bool RunLog::Append(uint64_t root, const ResultRecord& result) {
    const auto it = m_runs.find(root);
    if (it == m_runs.end()) {
        return false;
    }
    it->second.results.push_back(result);
    Q_EMIT Changed(root);
    return true;
}

void RunLog::Clear() {
    m_runs.clear();
    Q_EMIT Cleared();
}

const RunRecord* RunLog::Find(uint64_t root) const {
    const auto it = m_runs.find(root);
    return it == m_runs.end() ? nullptr : &it->second;
}

std::vector<uint64_t> RunLog::Roots() const {
    std::vector<uint64_t> roots;
    for (const auto& [root, run] : m_runs) {
        roots.push_back(root);
    }
    return roots;
}

QList<const RunRecord*> RunLog::Runs() const {
    QList<const RunRecord*> runs;
    for (const auto& [root, run] : m_runs) {
        runs << &run;
    }
    return runs;
}

PingStats ComputePingStats(const RunRecord& run) {
    PingStats s;
    // Sums in microseconds; long double keeps the squares of even 20 s round trips exact.
    long double sum = 0;
    long double sum2 = 0;
    uint64_t lo = UINT64_MAX;
    uint64_t hi = 0;
    for (const ResultRecord& r : run.results) {
        ++s.sent;
        if (r.kind != ResultKind::Reply) {
            continue;
        }
        ++s.received;
        sum += r.rttUs;
        sum2 += static_cast<long double>(r.rttUs) * r.rttUs;
        lo = std::min(lo, r.rttUs);
        hi = std::max(hi, r.rttUs);
    }
    s.lost = s.sent - s.received;
    s.lossPercent = s.sent == 0 ? 0 : 100.0 * s.lost / s.sent;
    if (s.received > 0) {
        const long double mean = sum / s.received;
        const long double variance = std::max<long double>(0, sum2 / s.received - mean * mean);
        s.minMs = static_cast<double>(lo) / 1000;
        s.maxMs = static_cast<double>(hi) / 1000;
        s.avgMs = static_cast<double>(mean / 1000);
        s.mdevMs = static_cast<double>(std::sqrt(variance) / 1000);
    }
    return s;
}

std::vector<HopRow> TraceHops(const RunRecord& run) {
    std::vector<HopRow> rows;
    for (const ResultRecord& r : run.results) {
        HopRow row;
        row.hop = r.seq;
        row.address = r.from;
        row.name = r.name;
        if (r.Answered()) {
            row.rttUs = r.rttUs;
        }
        row.tries = r.tries;
        rows.push_back(row);
    }
    return rows;
}

QString FormatMs(uint64_t microseconds) {
    return QStringLiteral("%1.%2 ms")
        .arg(microseconds / 1000)
        .arg(microseconds % 1000, 3, 10, QLatin1Char('0'));
}

namespace {

QString Ms3(double ms) {
    return QString::number(ms, 'f', 3);
}

QString Heading(const RunRecord& run) {
    const QString what =
        run.kind == RunKind::Ping ? QStringLiteral("Ping") : QStringLiteral("Trace");
    QString text = what + QStringLiteral(" statistics for ") + run.target;
    if (!run.address.isEmpty() && run.address != run.target) {
        text += QStringLiteral(" [") + run.address + QLatin1Char(']');
    }
    return text;
}

} // namespace

QString StatisticsText(const RunRecord& run) {
    QString text = Heading(run) + QLatin1Char('\n');
    if (run.kind == RunKind::Ping) {
        const PingStats s = ComputePingStats(run);
        text += QStringLiteral("Sent: %1, received: %2, lost: %3 (%4%)\n")
                    .arg(s.sent)
                    .arg(s.received)
                    .arg(s.lost)
                    .arg(QString::number(s.lossPercent, 'g', 6));
        if (s.minMs) {
            text += QStringLiteral("Round trip min/avg/max/mdev: %1/%2/%3/%4 ms\n")
                        .arg(Ms3(*s.minMs), Ms3(*s.avgMs), Ms3(*s.maxMs), Ms3(*s.mdevMs));
        }
        return text;
    }
    text += QStringLiteral("Hop\tAddress\tName\tRound trip\tTries\n");
    for (const HopRow& row : TraceHops(run)) {
        text += QStringLiteral("%1\t%2\t%3\t%4\t%5\n")
                    .arg(row.hop)
                    .arg(row.address, row.name,
                         row.rttUs ? FormatMs(*row.rttUs) : QStringLiteral("timed out"))
                    .arg(row.tries);
    }
    return text;
}

QString AddressText(int family, const void* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(family, address, text, sizeof text) == nullptr) {
        return {};
    }
    return QString::fromLatin1(text);
}

ExportFormat FormatForPath(const QString& path, ExportFormat fallback) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("txt")) {
        return ExportFormat::Text;
    }
    if (suffix == QLatin1String("csv")) {
        return ExportFormat::Csv;
    }
    if (suffix == QLatin1String("json")) {
        return ExportFormat::Json;
    }
    return fallback;
}

const char* ResultKindName(ResultKind kind) {
    switch (kind) {
    case ResultKind::Reply:
        return "reply";
    case ResultKind::OtherNode:
        return "other-node";
    case ResultKind::TimedOut:
        return "timed-out";
    case ResultKind::HopReached:
        return "hop";
    case ResultKind::TargetReached:
        return "target";
    }
    return "";
}

namespace {

const char* KindName(RunKind kind) {
    return kind == RunKind::Ping ? "ping" : "trace";
}

const char* FamilyName(int family) {
    return family == AF_INET6 ? "AF_INET6" : "AF_INET";
}

QString Iso(const QDateTime& t) {
    return t.toUTC().toString(Qt::ISODateWithMs);
}

// RFC 4180: a field with a comma, quote or line break is quoted, its quotes doubled.
QString CsvField(const QString& field) {
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) &&
        !field.contains(QLatin1Char('\n')) && !field.contains(QLatin1Char('\r'))) {
        return field;
    }
    QString quoted = field;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

QByteArray RunsCsv(const QList<const RunRecord*>& runs) {
    QString out = QStringLiteral("run,request,target,family,address,started,seq,sent,rtt_us,from,"
                                 "ttl,size,result,name,tries\r\n");
    int n = 0;
    for (const RunRecord* run : runs) {
        ++n;
        for (const ResultRecord& r : run->results) {
            const bool answered = r.Answered();
            const QStringList fields{
                QString::number(n),
                QString::fromLatin1(KindName(run->kind)),
                run->target,
                QString::fromLatin1(FamilyName(run->family)),
                run->address,
                Iso(run->started),
                QString::number(r.seq),
                Iso(r.sent),
                answered ? QString::number(r.rttUs) : QString(),
                r.from,
                answered ? QString::number(r.ttl) : QString(),
                answered ? QString::number(r.dataSize) : QString(),
                QString::fromLatin1(ResultKindName(r.kind)),
                r.name,
                QString::number(r.tries),
            };
            QStringList quoted;
            for (const QString& f : fields) {
                quoted << CsvField(f);
            }
            out += quoted.join(QLatin1Char(',')) + QStringLiteral("\r\n");
        }
    }
    return out.toUtf8();
}

QByteArray RunsJson(const QList<const RunRecord*>& runs) {
    QJsonArray list;
    for (const RunRecord* run : runs) {
        QJsonArray results;
        for (const ResultRecord& r : run->results) {
            const bool answered = r.Answered();
            QJsonObject o{
                {QStringLiteral("seq"), static_cast<qint64>(r.seq)},
                {QStringLiteral("sent"), Iso(r.sent)},
                {QStringLiteral("result"), QString::fromLatin1(ResultKindName(r.kind))},
                {QStringLiteral("rtt_us"),
                 answered ? QJsonValue(static_cast<qint64>(r.rttUs)) : QJsonValue()},
                {QStringLiteral("from"), answered ? QJsonValue(r.from) : QJsonValue()},
                {QStringLiteral("ttl"),
                 answered ? QJsonValue(static_cast<qint64>(r.ttl)) : QJsonValue()},
                {QStringLiteral("size"),
                 answered ? QJsonValue(static_cast<qint64>(r.dataSize)) : QJsonValue()},
            };
            if (run->kind == RunKind::Trace) {
                o.insert(QStringLiteral("name"), r.name.isEmpty() ? QJsonValue() : r.name);
                o.insert(QStringLiteral("tries"), static_cast<qint64>(r.tries));
            }
            results.append(o);
        }
        list.append(QJsonObject{
            {QStringLiteral("request"), QString::fromLatin1(KindName(run->kind))},
            {QStringLiteral("target"), run->target},
            {QStringLiteral("family"), QString::fromLatin1(FamilyName(run->family))},
            {QStringLiteral("address"), run->address},
            {QStringLiteral("started"), Iso(run->started)},
            {QStringLiteral("options"),
             QJsonObject{{QStringLiteral("packets"), static_cast<qint64>(run->options.packets)},
                         {QStringLiteral("timeout_s"), static_cast<qint64>(run->options.timeout)},
                         {QStringLiteral("size"), static_cast<qint64>(run->options.size)},
                         {QStringLiteral("hops"), static_cast<qint64>(run->options.hops)}}},
            {QStringLiteral("results"), results},
        });
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("runs"), list}})
        .toJson(QJsonDocument::Indented);
}

bool SaveFileAtomically(const QString& path, const QByteArray& data, QString* error) {
    QSaveFile file(path);
    // Never fall back to writing the file in place: a failure must leave the old one whole.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    if (file.write(data) != data.size()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

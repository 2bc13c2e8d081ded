#include "ui/run_hooks.h"

#include "ui/options_dlg.h"

#include <sys/socket.h>

#include <QTreeWidgetItem>

namespace {
// The detail that reads "RTT: %d ms": the second under a ping reply and under a hop.
constexpr int kRttDetail = 1;

ResultRecord Answered(uint32_t seq, const EchoStamp& stamp, const ICMP_ECHO_REPLY& reply) {
    ResultRecord r;
    r.seq = seq;
    r.sent = stamp.sent;
    r.rttUs = stamp.measured ? stamp.us : uint64_t{reply.RoundTripTime} * 1000;
    r.from = AddressText(AF_INET, &reply.Address);
    r.ttl = reply.Options.Ttl;
    r.dataSize = reply.DataSize;
    return r;
}
} // namespace

void EchoStamp::Returned(const IcmpEntryPoints& icmp) {
    measured = icmp.pfnIcmpGetLastRoundTripMicroseconds != nullptr;
    us = measured ? icmp.pfnIcmpGetLastRoundTripMicroseconds() : 0;
}

void RecordRunStart(ReportTree& tree, HTREEITEM root, RunKind kind, const std::string& host,
                    int family, const void* address, const COptionsDlg& options, uint32_t size) {
    if (tree.ItemOf(root) == nullptr) {
        return; // cleared before the run began
    }
    RunRecord run;
    run.kind = kind;
    run.target = QString::fromStdString(host);
    run.family = family;
    run.address = AddressText(family, address);
    run.options = {options.m_nPackets, options.m_nTimeout, size, options.m_nHops};
    run.started = QDateTime::currentDateTimeUtc();
    tree.Runs().Start(root.id, std::move(run));
}

void RecordResult(ReportTree& tree, HTREEITEM root, const ResultRecord& result) {
    QTreeWidgetItem* rootItem = tree.ItemOf(root);
    if (rootItem == nullptr || rootItem->childCount() == 0 ||
        !tree.Runs().Append(root.id, result)) {
        return;
    }
    QTreeWidgetItem* item = rootItem->child(rootItem->childCount() - 1);
    if (result.Answered() && item->childCount() > kRttDetail) {
        item->child(kRttDetail)->setToolTip(0, FormatMs(result.rttUs));
    }
}

ResultRecord PingResult(uint32_t seq, const EchoStamp& stamp, const ICMP_ECHO_REPLY& reply,
                        bool alive) {
    ResultRecord r = Answered(seq, stamp, reply);
    r.kind = alive ? ResultKind::Reply : ResultKind::OtherNode;
    return r;
}

ResultRecord HopResult(uint32_t hop, uint32_t tries, const EchoStamp& stamp,
                       const ICMP_ECHO_REPLY& reply, const std::string& name, bool target) {
    ResultRecord r = Answered(hop, stamp, reply);
    r.kind = target ? ResultKind::TargetReached : ResultKind::HopReached;
    r.name = QString::fromStdString(name);
    r.tries = tries;
    return r;
}

ResultRecord TimedOutResult(uint32_t seq, const EchoStamp& stamp, uint32_t tries) {
    ResultRecord r;
    r.seq = seq;
    r.sent = stamp.sent;
    r.tries = tries;
    return r;
}

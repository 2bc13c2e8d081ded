#pragma once
// What the Ping and Trace workers call to keep their results as data (net/run_record.h), one
// call where each result item is made. EchoStamp is taken on the worker's thread around each
// request; the Record... calls run on the GUI thread, inside the WorkerGate call that inserts
// the items, so the record and the tree stay in step and a run's results go in in order.

#include "net/icmp/icmp_binding.h"
#include "net/run_record.h"
#include "ui/report_tree.h"

#include <string>

class COptionsDlg;

// Worker thread: the wall clock when a request goes out and, after it, the round trip in
// microseconds as the echo service measured it (which only the requesting thread can ask).
struct EchoStamp {
    QDateTime sent = QDateTime::currentDateTimeUtc();
    uint64_t us = 0;
    bool measured = false; // false: the service has no microsecond figure; the reply's ms count

    void Returned(const IcmpEntryPoints& icmp);
};

// The run under root begins: target as typed, its address (family AF_INET with an in_addr,
// AF_INET6 with an in6_addr), the options as they stand and the packet size fixed for the run.
void RecordRunStart(ReportTree& tree, HTREEITEM root, RunKind kind, const std::string& host,
                    int family, const void* address, const COptionsDlg& options, uint32_t size);

// A result of the run under root, whose item is the root's last child (just inserted). An
// answered result's "RTT: %d ms" detail gets the microsecond figure as its tooltip. Does
// nothing when the run's record is gone (the tree was cleared).
void RecordResult(ReportTree& tree, HTREEITEM root, const ResultRecord& result);

// Results made from an IPv4 reply record. seq: the packet number (ping) or hop (trace).
ResultRecord PingResult(uint32_t seq, const EchoStamp& stamp, const ICMP_ECHO_REPLY& reply,
                        bool alive);
ResultRecord HopResult(uint32_t hop, uint32_t tries, const EchoStamp& stamp,
                       const ICMP_ECHO_REPLY& reply, const std::string& name, bool target);
ResultRecord TimedOutResult(uint32_t seq, const EchoStamp& stamp, uint32_t tries = 1);

#include "ui/about_dlg.h"

#include "res/dialogs.h"
#include "res/resource.h"
#include "ui/dialog_template.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    const res::DialogTemplate& tmpl = res::AboutDialog();
    setWindowTitle(QString::fromUtf8(tmpl.caption));
    setFont(parent != nullptr ? parent->font() : DialogFont(tmpl.fontPoints));
    const BuiltTemplate built = BuildFromTemplate(tmpl, this);
    setFixedSize(built.clientSize);
    // The version line carries no access key; its '&'-free text is shown as it is.
    for (QLabel* label : findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }
    connect(static_cast<QPushButton*>(built.controls.value(IDOK)), &QPushButton::clicked, this,
            &QDialog::accept);
}

void ShowHelpGuide(QWidget* parent) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Sabrevin Help"),
                    QStringLiteral("<b>Sabrevin</b> diagnoses a network from your desk."),
                    QMessageBox::Ok, parent);
    box.setInformativeText(QStringLiteral(
        "<p><b>Ping</b>: type a host name or a dotted address and press Start (or Enter). "
        "Each echo request is listed with its reply: who answered, the data size, the "
        "round-trip time and the time-to-live; or \"Request timed out\". A reply from "
        "another node than the host means it reports the host unreachable.</p>"
        "<p><b>Trace</b>: lists the route to the host hop by hop with each router's name, "
        "hop number and round-trip time. A silent hop is asked four times before it is "
        "listed as timed out.</p>"
        "<p><b>Lookup</b>: the official name, addresses and aliases of a name; a dotted "
        "address is looked up in reverse.</p>"
        "<p><b>Local Info</b>: this machine's name, first address and sockets layer; "
        "Refresh reads them again.</p>"
        "<p>Start turns into Stop while a request runs. Ctrl+C copies the selected result "
        "with everything beneath it; the result's context menu also copies all results. "
        "Tools &gt; Clear empties the page's host box and results (not its history).</p>"
        "<p><b>Options</b>: packets to send (1-20), time-out per request (1-20 seconds), "
        "packet size (8-512 bytes) and the number of hops a trace tries (1-100). They, the "
        "last 30 hosts of each page and the window's place are kept in "
        "~/.config/Varnstead/sabrevin.ini.</p>"
        "<p>Ping and Trace need an ICMP socket: ping sockets allowed by "
        "net.ipv4.ping_group_range, or the helper sabrevin-icmp-helper with the capability "
        "cap_net_raw. Without either they say why.</p>"));
    box.exec();
}

#include "ui/options_dlg.h"

#include "app/settings_store.h"
#include "res/dialogs.h"
#include "res/resource.h"
#include "ui/dialog_template.h"
#include "ui/spin_button.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace {

struct Field {
    int editId;
    int spinId;
    const char* name; // as the messages name it
};

constexpr Field kFields[4] = {
    {IDC_PACKETS, IDC_PACKETS_SPIN, "Packets to Send"},
    {IDC_TIMEOUT, IDC_TIMEOUT_SPIN, "Timeout"},
    {IDC_PACKET_SIZE, IDC_PACKET_SIZE_SPIN, "Packet Size"},
    {IDC_HOPS, IDC_HOPS_SPIN, "Number of Hops"},
};

// The window routes the dialog's ends to the object that owns the values.
class COptionsWnd : public QDialog {
public:
    COptionsWnd(COptionsDlg* owner, QWidget* parent) : QDialog(parent), m_owner(owner) {}
    void accept() override { m_owner->OnOK(); }
    void reject() override { m_owner->OnCancel(); }
    void End(int result) { QDialog::done(result); }

private:
    COptionsDlg* m_owner;
};

enum class Parse { Ok, NotUnsigned, OutOfRange };

// An unsigned decimal number, blanks around it allowed; a number too large for 32 bits is
// out of range rather than no number.
Parse ParseOption(const QString& text, uint32_t lowest, uint32_t highest, uint32_t* value) {
    const QString t = text.trimmed();
    if (t.isEmpty() || !std::all_of(t.begin(), t.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        })) {
        return Parse::NotUnsigned;
    }
    bool ok = false;
    const qulonglong n = t.toULongLong(&ok);
    if (!ok || n < lowest || n > highest) {
        return Parse::OutOfRange;
    }
    *value = static_cast<uint32_t>(n);
    return Parse::Ok;
}

} // namespace

std::array<std::atomic<uint32_t>*, 4> COptionsDlg::Members() {
    return {&m_nPackets, &m_nTimeout, &m_nPacketSize, &m_nHops};
}

int COptionsDlg::DoModal(QWidget* owner) {
    // Each opening makes the window anew from its template.
    COptionsWnd wnd(this, owner);
    m_wnd = &wnd;
    const res::DialogTemplate& tmpl = res::OptionsDialog();
    wnd.setWindowTitle(QString::fromUtf8(tmpl.caption));
    wnd.setFont(owner != nullptr ? owner->font() : DialogFont(tmpl.fontPoints));
    const BuiltTemplate built = BuildFromTemplate(tmpl, &wnd);
    wnd.setFixedSize(built.clientSize);
    for (int i = 0; i < 4; ++i) {
        m_edits[i] = static_cast<QLineEdit*>(built.controls.value(kFields[i].editId));
        auto* spin = static_cast<CSpinButtonCtrl*>(built.controls.value(kFields[i].spinId));
        spin->SetRange(static_cast<int>(kOptionRanges[i].lowest),
                       static_cast<int>(kOptionRanges[i].highest));
    }
    auto* ok = static_cast<QPushButton*>(built.controls.value(IDOK));
    auto* cancel = static_cast<QPushButton*>(built.controls.value(IDCANCEL));
    // Enter clicks the push button that has the focus; elsewhere it clicks OK, the default.
    cancel->setAutoDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &wnd, [this] { OnOK(); });
    QObject::connect(cancel, &QPushButton::clicked, &wnd, [this] { OnCancel(); });
    OnInitDialog();
    const int result = wnd.exec();
    m_wnd = nullptr;
    m_edits = {};
    return result;
}

bool COptionsDlg::OnInitDialog() {
    const auto members = Members();
    for (int i = 0; i < 4; ++i) {
        m_edits[i]->setText(QString::number(members[i]->load()));
    }
    m_nSavedPackets = m_nPackets;
    m_nSavedTimeout = m_nTimeout;
    m_nSavedPacketSize = m_nPacketSize;
    m_nSavedHops = m_nHops;
    m_edits[0]->setFocus();
    m_edits[0]->selectAll();
    return true;
}

bool COptionsDlg::SaveAndValidate(std::array<uint32_t, 4>* values) {
    for (int i = 0; i < 4; ++i) {
        const Parse outcome = ParseOption(m_edits[i]->text(), kOptionRanges[i].lowest,
                                          kOptionRanges[i].highest, &(*values)[i]);
        if (outcome == Parse::Ok) {
            continue;
        }
        const QString text = outcome == Parse::NotUnsigned
                                 ? QStringLiteral("Please enter an unsigned number for %1.")
                                       .arg(QString::fromUtf8(kFields[i].name))
                                 : QStringLiteral("Please enter a number between %1 and %2.")
                                       .arg(kOptionRanges[i].lowest)
                                       .arg(kOptionRanges[i].highest);
        QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text,
                        QMessageBox::Ok, m_wnd);
        box.exec();
        m_edits[i]->setFocus();
        m_edits[i]->selectAll();
        return false;
    }
    return true;
}

void COptionsDlg::OnOK() {
    std::array<uint32_t, 4> values{};
    // A refused OK changes nothing a running worker could see.
    if (!SaveAndValidate(&values)) {
        return;
    }
    const auto members = Members();
    for (int i = 0; i < 4; ++i) {
        members[i]->store(values[i]);
    }
    static_cast<COptionsWnd*>(m_wnd)->End(QDialog::Accepted);
}

void COptionsDlg::OnCancel() {
    m_nPackets = m_nSavedPackets;
    m_nTimeout = m_nSavedTimeout;
    m_nPacketSize = m_nSavedPacketSize;
    m_nHops = m_nSavedHops;
    static_cast<COptionsWnd*>(m_wnd)->End(QDialog::Rejected);
}

#pragma once
// The Options dialog and the four values it edits. The object lives as long as the main
// dialog and its four members are the program's live options: the workers read them while
// they run, so each is an atomic 32-bit word, and OK stores them only when all four are valid.
// The window exists only while DoModal runs.

#include <QDialog>

#include <array>
#include <atomic>
#include <cstdint>

class QLineEdit;

class COptionsDlg {
public:
    COptionsDlg() = default;
    COptionsDlg(const COptionsDlg&) = delete;
    COptionsDlg& operator=(const COptionsDlg&) = delete;

    // Runs the dialog over owner until OK (with valid values), Cancel, Esc or the close box.
    int DoModal(QWidget* owner);
    // The open window while DoModal runs, else null.
    QDialog* Window() const { return m_wnd; }

    std::atomic<uint32_t> m_nPackets{5};
    std::atomic<uint32_t> m_nTimeout{5};     // seconds
    std::atomic<uint32_t> m_nPacketSize{32}; // bytes of echo data
    std::atomic<uint32_t> m_nHops{30};

    uint32_t m_nSavedPackets = 0;
    uint32_t m_nSavedTimeout = 0;
    uint32_t m_nSavedPacketSize = 0;
    uint32_t m_nSavedHops = 0;

    // Called by the window.
    void OnOK();
    void OnCancel();

private:
    bool OnInitDialog();
    // Parses and checks the four edits in order into values; on the first failure shows why,
    // puts the focus on that edit and returns false.
    bool SaveAndValidate(std::array<uint32_t, 4>* values);
    std::array<std::atomic<uint32_t>*, 4> Members();

    QDialog* m_wnd = nullptr;
    std::array<QLineEdit*, 4> m_edits{};
};

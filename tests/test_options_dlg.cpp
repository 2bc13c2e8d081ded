// The Options dialog: what OK accepts and refuses, what Cancel restores, the Enter key and
// the up-down controls; and that the labels of the Options and About boxes fit.

#include "res/dialogs.h"
#include "res/resource.h"
#include "ui/about_dlg.h"
#include "ui/dialog_units.h"
#include "ui/options_dlg.h"
#include "ui/spin_button.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <functional>
#include <utility>

namespace {

QLineEdit* Edit(QDialog* wnd, const char* name) {
    return wnd->findChild<QLineEdit*>(QString::fromLatin1(name));
}

// Answers the next message box with OK and returns its text (empty when none came).
struct BoxWatcher {
    QString text;
    void Arm() {
        QTimer::singleShot(0, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
    }
};

} // namespace

class TestOptionsDlg : public QObject {
    Q_OBJECT

    COptionsDlg m_dlg;

    bool IsOpen() const { return m_dlg.Window() != nullptr && m_dlg.Window()->isVisible(); }

    // Opens the dialog, runs steps inside it, and makes sure it ends.
    void Run(const std::function<void(QDialog*)>& steps) {
        QTimer::singleShot(0, [this, steps] {
            QDialog* wnd = m_dlg.Window();
            QVERIFY(wnd != nullptr);
            QVERIFY(QTest::qWaitForWindowActive(wnd));
            steps(wnd);
            if (IsOpen()) {
                m_dlg.OnCancel();
            }
        });
        m_dlg.DoModal(nullptr);
        QVERIFY(!IsOpen());
    }

    void SetTexts(QDialog* wnd, const QString& packets, const QString& timeout, const QString& size,
                  const QString& hops) {
        Edit(wnd, "IDC_PACKETS")->setText(packets);
        Edit(wnd, "IDC_TIMEOUT")->setText(timeout);
        Edit(wnd, "IDC_PACKET_SIZE")->setText(size);
        Edit(wnd, "IDC_HOPS")->setText(hops);
    }

    QList<uint32_t> Values() {
        return {m_dlg.m_nPackets, m_dlg.m_nTimeout, m_dlg.m_nPacketSize, m_dlg.m_nHops};
    }

private Q_SLOTS:
    void init() {
        m_dlg.m_nPackets = 5;
        m_dlg.m_nTimeout = 5;
        m_dlg.m_nPacketSize = 32;
        m_dlg.m_nHops = 30;
    }

    void opensWithTheValuesInForce() {
        QStringList shown;
        m_dlg.m_nHops = 12;
        Run([&](QDialog* wnd) {
            for (const char* name : {"IDC_PACKETS", "IDC_TIMEOUT", "IDC_PACKET_SIZE", "IDC_HOPS"}) {
                shown << Edit(wnd, name)->text();
            }
            QCOMPARE(wnd->windowTitle(), QString("Options"));
            QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Edit(wnd, "IDC_PACKETS")));
            auto* ok = wnd->findChild<QPushButton*>("IDOK");
            QVERIFY(ok->isDefault());
            QCOMPARE(ok->text(), QString("OK"));
        });
        QCOMPARE(shown, (QStringList{"5", "5", "32", "12"}));
    }

    // Every field at and beyond its bounds: the first failing field is named, holds the focus,
    // and nothing is stored; all four valid stores all four.
    void okValidates_data() {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<int>("failing"); // -1: accepted
        QTest::addColumn<QString>("message");
        const QString range20 = "Please enter a number between 1 and 20.";
        QTest::newRow("all lowest") << QStringList{"1", "1", "8", "1"} << -1 << "";
        QTest::newRow("all highest") << QStringList{"20", "20", "512", "100"} << -1 << "";
        QTest::newRow("blanks around") << QStringList{" 7 ", "2", "64", "9"} << -1 << "";
        QTest::newRow("packets 0") << QStringList{"0", "5", "32", "30"} << 0 << range20;
        QTest::newRow("packets 21") << QStringList{"21", "5", "32", "30"} << 0 << range20;
        QTest::newRow("timeout 0") << QStringList{"5", "0", "32", "30"} << 1 << range20;
        QTest::newRow("timeout 21") << QStringList{"5", "21", "32", "30"} << 1 << range20;
        QTest::newRow("size 7") << QStringList{"5", "5", "7", "30"} << 2
                                << "Please enter a number between 8 and 512.";
        QTest::newRow("size 513") << QStringList{"5", "5", "513", "30"} << 2
                                  << "Please enter a number between 8 and 512.";
        QTest::newRow("size beyond 32 bits") << QStringList{"5", "5", "99999999999", "30"} << 2
                                             << "Please enter a number between 8 and 512.";
        QTest::newRow("hops 0") << QStringList{"5", "5", "32", "0"} << 3
                                << "Please enter a number between 1 and 100.";
        QTest::newRow("hops 101") << QStringList{"5", "5", "32", "101"} << 3
                                  << "Please enter a number between 1 and 100.";
        QTest::newRow("packets negative") << QStringList{"-1", "5", "32", "30"} << 0
                                          << "Please enter an unsigned number for Packets to Send.";
        QTest::newRow("timeout text") << QStringList{"5", "five", "32", "30"} << 1
                                      << "Please enter an unsigned number for Timeout.";
        QTest::newRow("size empty") << QStringList{"5", "5", "", "30"} << 2
                                    << "Please enter an unsigned number for Packet Size.";
        QTest::newRow("hops hex") << QStringList{"5", "5", "32", "0x10"} << 3
                                  << "Please enter an unsigned number for Number of Hops.";
        QTest::newRow("first failure wins") << QStringList{"5", "x", "7", "101"} << 1
                                            << "Please enter an unsigned number for Timeout.";
    }
    void okValidates() {
        QFETCH(QStringList, texts);
        QFETCH(int, failing);
        QFETCH(QString, message);
        const char* names[] = {"IDC_PACKETS", "IDC_TIMEOUT", "IDC_PACKET_SIZE", "IDC_HOPS"};
        BoxWatcher box;
        bool stillOpen = false;
        bool focusOnFailing = false;
        Run([&](QDialog* wnd) {
            SetTexts(wnd, texts[0], texts[1], texts[2], texts[3]);
            box.Arm();
            wnd->findChild<QPushButton*>("IDOK")->click();
            stillOpen = IsOpen();
            focusOnFailing = failing >= 0 && wnd->focusWidget() == Edit(wnd, names[failing]);
        });
        QCOMPARE(box.text, message);
        QCOMPARE(stillOpen, failing >= 0);
        if (failing < 0) {
            QList<uint32_t> want;
            for (const QString& t : texts) {
                want << t.trimmed().toUInt();
            }
            QCOMPARE(Values(), want);
        } else {
            QVERIFY(focusOnFailing);
            QCOMPARE(Values(), (QList<uint32_t>{5, 5, 32, 30})); // nothing a worker could see
        }
    }

    // A valid packets value and a refused hops value, then Cancel: both as at opening.
    void cancelAfterARefusedOk() {
        BoxWatcher box;
        Run([&](QDialog* wnd) {
            SetTexts(wnd, "9", "5", "32", "101");
            box.Arm();
            wnd->findChild<QPushButton*>("IDOK")->click();
            QVERIFY(IsOpen());
            QCOMPARE(Values(), (QList<uint32_t>{5, 5, 32, 30}));
            wnd->findChild<QPushButton*>("IDCANCEL")->click();
        });
        QVERIFY(!box.text.isEmpty());
        QCOMPARE(Values(), (QList<uint32_t>{5, 5, 32, 30}));
    }

    void cancelEscAndCloseChangeNothing_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Cancel") << "cancel";
        QTest::newRow("Esc") << "esc";
        QTest::newRow("close box") << "close";
    }
    void cancelEscAndCloseChangeNothing() {
        QFETCH(QString, how);
        Run([&](QDialog* wnd) {
            SetTexts(wnd, "1", "2", "300", "4");
            if (how == "cancel") {
                wnd->findChild<QPushButton*>("IDCANCEL")->click();
            } else if (how == "esc") {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
            } else {
                wnd->close();
            }
            QVERIFY(!IsOpen());
        });
        QCOMPARE(Values(), (QList<uint32_t>{5, 5, 32, 30}));
    }

    // Enter clicks the push button that has the focus; in an edit it means OK, the default.
    void enterKey_data() {
        // The control's name; "tab": Tab twice from Hops; "back": Cancel, then an edit.
        QTest::addColumn<QString>("focus");
        QTest::addColumn<bool>("stored");
        QTest::newRow("in an edit") << "IDC_HOPS" << true;
        QTest::newRow("on OK") << "IDOK" << true;
        QTest::newRow("on Cancel") << "IDCANCEL" << false;
        QTest::newRow("on Cancel reached by Tab") << "tab" << false;
        QTest::newRow("in an edit after Cancel had the focus") << "back" << true;
    }
    void enterKey() {
        QFETCH(QString, focus);
        QFETCH(bool, stored);
        Run([&](QDialog* wnd) {
            SetTexts(wnd, "3", "4", "100", "50");
            if (focus == "tab") {
                Edit(wnd, "IDC_HOPS")->setFocus();
                QTest::keyClick(Edit(wnd, "IDC_HOPS"), Qt::Key_Tab);
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                QCOMPARE(QApplication::focusWidget(),
                         static_cast<QWidget*>(wnd->findChild<QPushButton*>("IDCANCEL")));
            } else if (focus == "back") {
                wnd->findChild<QPushButton*>("IDCANCEL")->setFocus();
                Edit(wnd, "IDC_TIMEOUT")->setFocus();
            } else {
                wnd->findChild<QWidget*>(focus)->setFocus();
            }
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            QVERIFY(!IsOpen());
        });
        QCOMPARE(Values(),
                 stored ? (QList<uint32_t>{3, 4, 100, 50}) : (QList<uint32_t>{5, 5, 32, 30}));
    }

    // Every label of the Options and About boxes shows its whole text within its template
    // rectangle, in the dialog's font; an access key's '&' takes no room.
    void labelsFitTheirRectangles_data() {
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<QString>("text");
        const std::pair<const char*, const res::DialogTemplate*> dialogs[] = {
            {"Options", &res::OptionsDialog()}, {"About", &res::AboutDialog()}};
        for (const auto& [name, tmpl] : dialogs) {
            for (const res::ControlTemplate& c : tmpl->controls) {
                if (c.cls == res::ControlClass::Static) {
                    QTest::addRow("%s: %s", name, c.text) << name << QString::fromUtf8(c.text);
                }
            }
        }
    }
    void labelsFitTheirRectangles() {
        QFETCH(QString, dialog);
        QFETCH(QString, text);
        const auto check = [&text](QDialog* wnd) {
            QLabel* label = nullptr;
            for (QLabel* l : wnd->findChildren<QLabel*>()) {
                if (l->text() == text) {
                    label = l;
                }
            }
            QVERIFY(label != nullptr);
            QCOMPARE(label->font(), DialogFont(8));
            const QSize need =
                QFontMetrics(label->font())
                    .size(label->buddy() != nullptr ? int(Qt::TextShowMnemonic) : 0, text);
            const QRect room = label->contentsRect();
            QVERIFY2(need.width() <= room.width() && need.height() <= room.height(),
                     qPrintable(QString("needs %1x%2, has %3x%4")
                                    .arg(need.width())
                                    .arg(need.height())
                                    .arg(room.width())
                                    .arg(room.height())));
        };
        if (dialog == "About") {
            CAboutDlg about;
            check(&about);
        } else {
            Run(check);
        }
    }

    // The up-down controls: at each edit's right edge, bounded without wrapping, keys too.
    void upDownControls_data() {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("how"); // up, down, key-up, key-down
        QTest::addColumn<int>("times");
        QTest::addColumn<QString>("expected");
        QTest::newRow("packets up stops at 20") << "IDC_PACKETS"
                                                << "19"
                                                << "up" << 3 << "20";
        QTest::newRow("packets down stops at 1") << "IDC_PACKETS"
                                                 << "2"
                                                 << "down" << 3 << "1";
        QTest::newRow("size up stops at 512") << "IDC_PACKET_SIZE"
                                              << "511"
                                              << "up" << 2 << "512";
        QTest::newRow("size down stops at 8") << "IDC_PACKET_SIZE"
                                              << "9"
                                              << "down" << 5 << "8";
        QTest::newRow("hops key up") << "IDC_HOPS"
                                     << "30"
                                     << "key-up" << 2 << "32";
        QTest::newRow("hops key down at 1") << "IDC_HOPS"
                                            << "1"
                                            << "key-down" << 1 << "1";
        QTest::newRow("timeout key down") << "IDC_TIMEOUT"
                                          << "5"
                                          << "key-down" << 4 << "1";
        // Text that is no number steps from the last number the edit held, never from a
        // bound (opened with 5, 5, 32 and 30).
        QTest::newRow("text up from the value at opening") << "IDC_TIMEOUT"
                                                           << "abc"
                                                           << "up" << 1 << "6";
        QTest::newRow("text down from the value at opening") << "IDC_PACKET_SIZE"
                                                             << "abc"
                                                             << "down" << 1 << "31";
        QTest::newRow("text key down") << "IDC_HOPS"
                                       << ""
                                       << "key-down" << 2 << "28";
        QTest::newRow("text after a typed number") << "IDC_PACKETS"
                                                   << "7|7x"
                                                   << "up" << 1 << "8";
        QTest::newRow("text after a number out of range") << "IDC_PACKETS"
                                                          << "12|99|-"
                                                          << "down" << 1 << "11";
        QTest::newRow("text at the upper bound") << "IDC_TIMEOUT"
                                                 << "20|x"
                                                 << "up" << 2 << "20";
        QTest::newRow("out of range steps into range") << "IDC_HOPS"
                                                       << "500"
                                                       << "down" << 1 << "100";
    }
    void upDownControls() {
        QFETCH(QString, edit);
        QFETCH(QString, start);
        QFETCH(QString, how);
        QFETCH(int, times);
        QFETCH(QString, expected);
        QString result;
        Run([&](QDialog* wnd) {
            QLineEdit* e = Edit(wnd, qPrintable(edit));
            auto* spin = wnd->findChild<CSpinButtonCtrl*>(edit + "_SPIN");
            QCOMPARE(spin->GetBuddy(), e);
            QCOMPARE(spin->geometry().left(), e->geometry().right() + 1);
            QVERIFY((spin->focusPolicy() & Qt::TabFocus) == 0);
            for (const QString& text : start.split('|')) { // typed in turn
                e->setText(text);
            }
            for (int i = 0; i < times; ++i) {
                if (how == "up") {
                    QTest::mouseClick(spin->UpArrow(), Qt::LeftButton);
                } else if (how == "down") {
                    QTest::mouseClick(spin->DownArrow(), Qt::LeftButton);
                } else {
                    QTest::keyClick(e, how == "key-up" ? Qt::Key_Up : Qt::Key_Down);
                }
            }
            result = e->text();
        });
        QCOMPARE(result, expected);
        QCOMPARE(Values(), (QList<uint32_t>{5, 5, 32, 30})); // stepping is not OK
    }

    void heldArrowRepeats() {
        QString result;
        Run([&](QDialog* wnd) {
            auto* spin = wnd->findChild<CSpinButtonCtrl*>("IDC_PACKET_SIZE_SPIN");
            Edit(wnd, "IDC_PACKET_SIZE")->setText("100");
            QTest::mousePress(spin->UpArrow(), Qt::LeftButton);
            QTest::qWait(800);
            QTest::mouseRelease(spin->UpArrow(), Qt::LeftButton);
            result = Edit(wnd, "IDC_PACKET_SIZE")->text();
        });
        QVERIFY2(result.toInt() > 102, qPrintable(result));
    }

    void opensAnyNumberOfTimes() {
        for (int i = 0; i < 3; ++i) {
            Run([&](QDialog* wnd) {
                SetTexts(wnd, QString::number(i + 1), "5", "32", "30");
                wnd->findChild<QPushButton*>("IDOK")->click();
            });
            QCOMPARE(m_dlg.m_nPackets.load(), uint32_t(i + 1));
        }
    }
};

QTEST_MAIN(TestOptionsDlg)
#include "test_options_dlg.moc"

// The menu commands: the Clear items' enabling and what they clear, Exit, the two web pages,
// the About box and the help.

#include "res/resource.h"
#include "ui/about_dlg.h"
#include "ui/main_dlg.h"
#include "ui/menu.h"

#include <QComboBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include <functional>
#include <memory>

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls << url; }
};

class TestMenuCommands : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;

    QComboBox* Box(int page) {
        return static_cast<QComboBox*>(m_dlg->GetDlgItem(IDC_PING_HOST + 5 * page));
    }
    // Opens the Tools menu's update as the menu would, and reads the two Clear items.
    QPair<bool, bool> ClearItems() {
        Q_EMIT m_dlg->GetMenu()->Popup("&Tools")->aboutToShow();
        return {m_dlg->GetMenu()->Command(ID_CLEAR_CURRENT)->isEnabled(),
                m_dlg->GetMenu()->Command(ID_CLEAR_ALL)->isEnabled()};
    }
    void SwitchTo(int page) {
        const std::function<void()> go[] = {
            [this] { m_dlg->OnToolsPing(); }, [this] { m_dlg->OnToolsTrace(); },
            [this] { m_dlg->OnToolsLookup(); }, [this] { m_dlg->OnToolsLocalInfo(); }};
        go[page]();
    }

private Q_SLOTS:
    void init() {
        m_dlg = std::make_unique<CMainDlg>();
        QVERIFY(m_dlg->Create());
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }
    void cleanup() { m_dlg.reset(); }

    void clearItemsFollowWhatThereIsToClear_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("fill"); // which page gets what: "ping-text", "lookup-item", ""
        QTest::addColumn<bool>("current");
        QTest::addColumn<bool>("all");
        QTest::newRow("start-up") << int(PAGE_PING) << "" << false << false;
        QTest::newRow("start-up with a stored history")
            << int(PAGE_PING) << "stored-history" << false << false;
        QTest::newRow("a letter in the Ping box") << int(PAGE_PING) << "ping-text" << true << true;
        QTest::newRow("Trace page, text only in Ping")
            << int(PAGE_TRACE) << "ping-text" << false << true;
        QTest::newRow("Lookup page with an item")
            << int(PAGE_LOOKUP) << "lookup-item" << true << true;
        QTest::newRow("Local Info, never Current")
            << int(PAGE_LOCALINFO) << "lookup-item" << false << true;
        QTest::newRow("Local Info, nothing elsewhere")
            << int(PAGE_LOCALINFO) << "" << false << false;
    }
    void clearItemsFollowWhatThereIsToClear() {
        QFETCH(int, page);
        QFETCH(QString, fill);
        QFETCH(bool, current);
        QFETCH(bool, all);
        // A history alone is nothing to clear.
        Box(PAGE_PING)->addItem("in.history");
        Box(PAGE_PING)->setEditText(QString());
        if (fill == "stored-history") {
            // The dialog starts anew over a history of each page in the settings file.
            const QString ini =
                QSettings(QSettings::IniFormat, QSettings::UserScope,
                          QCoreApplication::organizationName(), QCoreApplication::applicationName())
                    .fileName();
            QDir().mkpath(QFileInfo(ini).path());
            QFile f(ini);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write("[Hosts]\nPing%20Host%201=ping.example\nTrace%20Host%201=trace.example\n"
                    "Lookup%20Host%201=lookup.example\n");
            f.close();
            f.setFileTime(QDateTime::currentDateTime().addSecs(60),
                          QFileDevice::FileModificationTime);
            m_dlg.reset();
            init();
            QFile::remove(ini);
            for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
                QCOMPARE(Box(p)->count(), 1);
            }
        } else if (fill == "ping-text") {
            Box(PAGE_PING)->setEditText("h");
        } else if (fill == "lookup-item") {
            m_dlg->Tree(PAGE_LOOKUP).AddRoot("x", 0);
        }
        SwitchTo(page);
        QCOMPARE(ClearItems(), qMakePair(current, all));
    }

    void clearCurrentTabEmptiesOnlyThatPage() {
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            Box(p)->addItem("kept");
            Box(p)->setEditText("typed");
            m_dlg->Tree(p).AddRoot("request", 0);
        }
        SwitchTo(PAGE_LOOKUP);
        m_dlg->GetMenu()->Command(ID_CLEAR_CURRENT)->trigger();
        QCOMPARE(Box(PAGE_LOOKUP)->currentText(), QString());
        QCOMPARE(m_dlg->Tree(PAGE_LOOKUP).GetTree()->topLevelItemCount(), 0);
        QCOMPARE(Box(PAGE_LOOKUP)->count(), 1); // the history stays
        QCOMPARE(Box(PAGE_PING)->currentText(), QString("typed"));
        QCOMPARE(m_dlg->Tree(PAGE_TRACE).GetTree()->topLevelItemCount(), 1);
        // On Local Info it clears nothing.
        SwitchTo(PAGE_LOCALINFO);
        m_dlg->OnClearCurrent();
        QCOMPARE(m_dlg->Tree(PAGE_LOCALINFO).GetTree()->topLevelItemCount(), 1);
        QCOMPARE(m_dlg->Tree(PAGE_PING).GetTree()->topLevelItemCount(), 1);
    }

    void clearAllEmptiesTheThreeQueryPages() {
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            Box(p)->addItem("kept");
            Box(p)->setEditText("typed");
            m_dlg->Tree(p).AddRoot("request", 0);
        }
        SwitchTo(PAGE_LOCALINFO);
        m_dlg->GetMenu()->Command(ID_CLEAR_ALL)->trigger();
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            QCOMPARE(Box(p)->currentText(), QString());
            QCOMPARE(Box(p)->count(), 1);
            QCOMPARE(m_dlg->Tree(p).GetTree()->topLevelItemCount(), 0);
        }
        QCOMPARE(m_dlg->Tree(PAGE_LOCALINFO).GetTree()->topLevelItemCount(), 1);
        QCOMPARE(ClearItems(), qMakePair(false, false));
    }

    void theWebPagesOpenInTheBrowser() {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("https", &catcher, "open");
        m_dlg->GetMenu()->Command(ID_HELP_HOMEPAGE)->trigger();
        m_dlg->GetMenu()->Command(ID_HELP_SIBLINGPAGE)->trigger();
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(catcher.urls, (QList<QUrl>{QUrl("https://www.varnstead.example/sabrevin/"),
                                            QUrl("https://www.varnstead.example/corvale/")}));
    }

    void theAboutBox_data() {
        QTest::addColumn<QString>("end");
        QTest::newRow("OK") << "ok";
        QTest::newRow("Enter") << "enter";
        QTest::newRow("Esc") << "esc";
        QTest::newRow("close box") << "close";
    }
    void theAboutBox() {
        QFETCH(QString, end);
        QStringList texts;
        QString caption;
        bool hadIcon = false;
        bool ended = false;
        QTimer::singleShot(0, [&] {
            auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
            QVERIFY(about != nullptr);
            QVERIFY(QTest::qWaitForWindowActive(about));
            caption = about->windowTitle();
            for (QLabel* label : about->findChildren<QLabel*>()) {
                if (!label->pixmap().isNull()) {
                    hadIcon = true;
                } else {
                    texts << label->text();
                }
            }
            if (end == "ok") {
                about->findChild<QPushButton*>("IDOK")->click();
            } else if (end == "enter") {
                QTest::keyClick(about, Qt::Key_Return);
            } else if (end == "esc") {
                QTest::keyClick(about, Qt::Key_Escape);
            } else {
                about->close();
            }
            ended = !about->isVisible();
        });
        m_dlg->GetMenu()->Command(ID_HELP_ABOUT)->trigger();
        QVERIFY(ended);
        QCOMPARE(caption, QString("About Sabrevin"));
        QVERIFY(hadIcon);
        QCOMPARE(texts.value(0), QString::fromUtf8("Sabrevin\u00ae version " SABREVIN_VERSION
                                                   " for Windows 95/NT"));
        QCOMPARE(texts.size(), 4);
        QVERIFY(m_dlg->isVisible()); // the box ended, not the program
    }

    void f1ShowsTheGuide() {
        QString title, text;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                title = box->windowTitle();
                text = box->informativeText();
                box->accept();
            }
        });
        m_dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
        QTest::keyClick(m_dlg.get(), Qt::Key_F1);
        QCOMPARE(title, QString("Sabrevin Help"));
        for (const char* topic : {"Ping", "Trace", "Lookup", "Local Info", "Options"}) {
            QVERIFY2(text.contains(topic), topic);
        }
    }
};

QTEST_MAIN(TestMenuCommands)
#include "test_menu_commands.moc"

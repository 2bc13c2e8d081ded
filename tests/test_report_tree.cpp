// ReportTree: the order of inserts, folding, handles that outlive Clear, the pictures, and the
// copied text.

#include "ui/image_list.h"
#include "ui/report_tree.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTimer>
#include <QtTest>

#include <memory>

class TestReportTree : public QObject {
    Q_OBJECT

    const CImageList* m_images = nullptr;
    std::unique_ptr<ReportTreeWidget> m_widget;
    ReportTree m_rt;

    // Two requests as the pages make them: a ping with a reply and its details, and a
    // failed lookup whose details stay folded.
    void FillTwoRequests() {
        m_rt.AddRoot("127.0.0.1", IMG_HOST);
        const HTREEITEM reply =
            m_rt.AddItem(m_rt.Root(), "Reply from 127.0.0.1: Host is alive", IMG_OK);
        m_rt.AddItem(reply, "Packet size: 32 bytes", IMG_INFO);
        m_rt.AddItem(reply, "RTT: 0 ms", IMG_INFO);
        m_rt.ExpandRoot();
        m_rt.AddRoot("nowhere.invalid", IMG_HOST);
        const HTREEITEM failed = m_rt.AddItem(m_rt.Root(), "Host lookup failed", IMG_FAIL);
        m_rt.AddItem(failed, "Error: 11001", IMG_INFO);
        m_rt.ExpandRoot();
        m_rt.SetRootText("nowhere.invalid (2)");
        m_rt.SetRootImage(IMG_ROUTE);
    }

private Q_SLOTS:
    void init() {
        m_images = CImageList::CreateReportImages();
        m_widget = std::make_unique<ReportTreeWidget>();
        m_widget->SetImageList(m_images);
        m_rt = ReportTree();
        m_rt.Attach(m_widget.get());
    }

    // Requests stand in order; only the latest root is renamed, and only roots unfold.
    void requestsStandInOrder() {
        FillTwoRequests();
        QCOMPARE(m_widget->AllText(), QString("127.0.0.1\n"
                                              "  Reply from 127.0.0.1: Host is alive\n"
                                              "    Packet size: 32 bytes\n"
                                              "    RTT: 0 ms\n"
                                              "nowhere.invalid (2)\n"
                                              "  Host lookup failed\n"
                                              "    Error: 11001\n"));
        const QTreeWidgetItem* first = m_widget->topLevelItem(0);
        QCOMPARE(ReportTree::ImageOf(first), int(IMG_HOST));
        QCOMPARE(ReportTree::ImageOf(first->child(0)), int(IMG_OK));
        QCOMPARE(ReportTree::ImageOf(m_widget->topLevelItem(1)), int(IMG_ROUTE));
        QCOMPARE(m_rt.ItemOf(m_rt.Last())->text(0), QString("Error: 11001"));
        QVERIFY(m_widget->topLevelItem(1)->isExpanded());
        QVERIFY(!m_widget->topLevelItem(1)->child(0)->isExpanded());
        QVERIFY(!m_widget->rootIsDecorated());
        QVERIFY(m_widget->isHeaderHidden());
    }

    // Handles kept from before a Clear (and handles never given) name nothing: every
    // operation with them does nothing, also after a new request.
    void handlesAfterClear_data() {
        QTest::addColumn<QString>("op");
        for (const char* op :
             {"SetRootText", "SetRootImage", "ExpandRoot", "AddItem under the root",
              "AddItem under a kept item", "AddItem under no item", "Clear"}) {
            QTest::newRow(op) << QString(op);
        }
    }
    void handlesAfterClear() {
        QFETCH(QString, op);
        const HTREEITEM oldRoot = m_rt.AddRoot("host", IMG_HOST);
        const HTREEITEM kept = m_rt.AddItem(oldRoot, "Reply", IMG_OK);
        m_rt.Clear();
        QVERIFY(!m_rt.Root() && !m_rt.Last());
        if (op == "SetRootText") {
            m_rt.SetRootText("late");
        } else if (op == "SetRootImage") {
            m_rt.SetRootImage(IMG_ROUTE);
        } else if (op == "ExpandRoot") {
            m_rt.ExpandRoot();
        } else if (op.startsWith("AddItem")) {
            const HTREEITEM parent = op.endsWith("root")        ? oldRoot
                                     : op.endsWith("kept item") ? kept
                                                                : HTREEITEM{999999};
            QVERIFY(!m_rt.AddItem(parent, "late", IMG_INFO));
            QVERIFY(!m_rt.AddItem(HTREEITEM{}, "late", IMG_INFO));
        } else {
            m_rt.Clear();
        }
        QCOMPARE(m_widget->topLevelItemCount(), 0);
        m_rt.AddRoot("next", IMG_HOST);
        QVERIFY(!m_rt.AddItem(kept, "late", IMG_INFO));
        QVERIFY(!m_rt.AddItem(oldRoot, "late", IMG_INFO));
        QVERIFY(m_rt.ItemOf(oldRoot) == nullptr && m_rt.ItemOf(kept) == nullptr);
        QCOMPARE(m_widget->AllText(), QString("next\n"));
    }

    // Five pictures of 18 pixels with a transparent white corner, the same when selected; the
    // window icon 32 pixels.
    void pictures() {
        QCOMPARE(m_images->GetImageCount(), 5);
        for (int i = 0; i < 5; ++i) {
            const QImage img = m_images->Pixmap(i).toImage().convertToFormat(QImage::Format_ARGB32);
            QCOMPARE(img.size(), QSize(18, 18));
            QCOMPARE(qAlpha(img.pixel(0, 0)), 0);
            int opaque = 0;
            for (int y = 0; y < 18; ++y) {
                for (int x = 0; x < 18; ++x) {
                    opaque += qAlpha(img.pixel(x, y)) == 255 ? 1 : 0;
                }
            }
            QVERIFY2(opaque > 20, qPrintable(QString("picture %1 is nearly empty").arg(i)));
            const QIcon icon = m_images->Icon(i);
            QCOMPARE(icon.pixmap(18, 18, QIcon::Selected).toImage(),
                     icon.pixmap(18, 18, QIcon::Normal).toImage());
        }
        QVERIFY(m_images->Icon(5).isNull() && m_images->Icon(-1).isNull());
        QCOMPARE(LoadMainIcon().availableSizes().value(0), QSize(32, 32));
    }

    // Ctrl+C copies the current item with its details, two spaces per level below it.
    void ctrlCCopiesTheCurrentItem() {
        FillTwoRequests();
        m_widget->setCurrentItem(m_widget->topLevelItem(0)->child(0));
        QGuiApplication::clipboard()->clear();
        QTest::keySequence(m_widget.get(), QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QString("Reply from 127.0.0.1: Host is alive\n"
                         "  Packet size: 32 bytes\n"
                         "  RTT: 0 ms\n"));
    }

    void contextMenu_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("all");
        QTest::newRow("Copy") << "&Copy" << false;
        QTest::newRow("Copy All") << "Copy &All" << true;
    }
    void contextMenu() {
        QFETCH(QString, action);
        QFETCH(bool, all);
        FillTwoRequests();
        m_widget->resize(300, 300);
        m_widget->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_widget.get()));
        QGuiApplication::clipboard()->clear();
        QStringList offered;
        QTimer::singleShot(0, this, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu != nullptr);
            for (QAction* a : menu->actions()) {
                offered << a->text();
                if (a->text() == action) {
                    a->trigger();
                }
            }
            menu->close();
        });
        // Right click on the second request's root.
        const QRect rect = m_widget->visualItemRect(m_widget->topLevelItem(1));
        QContextMenuEvent event(QContextMenuEvent::Mouse, rect.center(),
                                m_widget->viewport()->mapToGlobal(rect.center()));
        QApplication::sendEvent(m_widget->viewport(), &event);
        // A tree without Ping or Trace runs: no statistics; the requests can be saved.
        QCOMPARE(offered, (QStringList{"&Copy", "Copy &All", "", "&Statistics...", "Sa&ve As..."}));
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 all ? m_widget->AllText()
                     : QString("nowhere.invalid (2)\n  Host lookup failed\n    Error: 11001\n"));
    }
};

QTEST_MAIN(TestReportTree)
#include "test_report_tree.moc"

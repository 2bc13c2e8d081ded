// ReportTree: the order of inserts, pictures, folding, handles that outlive Clear, and the
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
    }

private Q_SLOTS:
    void init() {
        m_images = CImageList::CreateReportImages();
        m_widget = std::make_unique<ReportTreeWidget>();
        m_widget->SetImageList(m_images);
        m_rt = ReportTree();
        m_rt.Attach(m_widget.get());
    }

    void requestsStandInOrderWithTheirItems() {
        FillTwoRequests();
        QCOMPARE(m_widget->topLevelItemCount(), 2);
        QCOMPARE(m_widget->topLevelItem(0)->text(0), QString("127.0.0.1"));
        QCOMPARE(m_widget->topLevelItem(1)->text(0), QString("nowhere.invalid"));
        const QTreeWidgetItem* reply = m_widget->topLevelItem(0)->child(0);
        QCOMPARE(reply->childCount(), 2);
        QCOMPARE(reply->child(1)->text(0), QString("RTT: 0 ms"));
        QCOMPARE(ReportTree::ImageOf(reply), int(IMG_OK));
        QCOMPARE(m_rt.ItemOf(m_rt.Last())->text(0), QString("Error: 11001"));
    }

    void expandRootOpensOnlyTheRoot() {
        FillTwoRequests();
        QTreeWidgetItem* root = m_widget->topLevelItem(1);
        QVERIFY(root->isExpanded());
        QVERIFY(!root->child(0)->isExpanded()); // "Host lookup failed" stays folded
        QVERIFY(!m_widget->rootIsDecorated());  // no expand button on a root
        QVERIFY(m_widget->isHeaderHidden());
    }

    void setRootTextAndImageChangeOnlyTheLatestRoot() {
        FillTwoRequests();
        m_rt.SetRootText("Trace route to x");
        m_rt.SetRootImage(IMG_ROUTE);
        QCOMPARE(m_widget->topLevelItem(0)->text(0), QString("127.0.0.1"));
        QCOMPARE(m_widget->topLevelItem(1)->text(0), QString("Trace route to x"));
        QCOMPARE(ReportTree::ImageOf(m_widget->topLevelItem(1)), int(IMG_ROUTE));
        QCOMPARE(ReportTree::ImageOf(m_widget->topLevelItem(0)), int(IMG_HOST));
    }

    void addItemUnderNoParentAddsNothing() {
        m_rt.AddRoot("a", IMG_HOST);
        QVERIFY(!m_rt.AddItem(HTREEITEM{}, "orphan", IMG_INFO));
        QVERIFY(!m_rt.AddItem(HTREEITEM{999999}, "orphan", IMG_INFO));
        QCOMPARE(m_widget->topLevelItemCount(), 1);
        QCOMPARE(m_widget->topLevelItem(0)->childCount(), 0);
    }

    // Every operation after Clear, with the handles that callers kept from before it.
    void operationsAfterClearDoNothing_data() {
        QTest::addColumn<QString>("op");
        QTest::newRow("SetRootText") << "SetRootText";
        QTest::newRow("SetRootImage") << "SetRootImage";
        QTest::newRow("ExpandRoot") << "ExpandRoot";
        QTest::newRow("AddItem under the old root") << "AddItemRoot";
        QTest::newRow("AddItem under the last item") << "AddItemLast";
        QTest::newRow("AddItem under a kept reply item") << "AddItemKept";
        QTest::newRow("Clear again") << "Clear";
    }
    void operationsAfterClearDoNothing() {
        QFETCH(QString, op);
        m_rt.AddRoot("host", IMG_HOST);
        const HTREEITEM oldRoot = m_rt.Root();
        const HTREEITEM kept = m_rt.AddItem(oldRoot, "Reply", IMG_OK);
        m_rt.AddItem(kept, "RTT: 1 ms", IMG_INFO);
        const HTREEITEM oldLast = m_rt.Last();
        m_rt.Clear();
        QVERIFY(!m_rt.Root());
        QVERIFY(!m_rt.Last());
        QVERIFY(m_rt.ItemOf(oldRoot) == nullptr);
        QVERIFY(m_rt.ItemOf(kept) == nullptr);

        if (op == "SetRootText") {
            m_rt.SetRootText("late");
        } else if (op == "SetRootImage") {
            m_rt.SetRootImage(IMG_ROUTE);
        } else if (op == "ExpandRoot") {
            m_rt.ExpandRoot();
        } else if (op == "AddItemRoot") {
            QVERIFY(!m_rt.AddItem(oldRoot, "late", IMG_INFO));
        } else if (op == "AddItemLast") {
            QVERIFY(!m_rt.AddItem(oldLast, "late", IMG_INFO));
        } else if (op == "AddItemKept") {
            QVERIFY(!m_rt.AddItem(kept, "late", IMG_INFO));
        } else {
            m_rt.Clear();
        }
        QCOMPARE(m_widget->topLevelItemCount(), 0);

        // A new request after the Clear is untouched by the old handles.
        m_rt.AddRoot("next", IMG_HOST);
        QVERIFY(!m_rt.AddItem(kept, "late", IMG_INFO));
        QVERIFY(m_rt.ItemOf(oldRoot) == nullptr);
        QCOMPARE(m_widget->topLevelItem(0)->childCount(), 0);
        QCOMPARE(m_widget->topLevelItem(0)->text(0), QString("next"));
    }

    void handlesAreNeverReused() {
        const HTREEITEM first = m_rt.AddRoot("a", IMG_HOST);
        m_rt.Clear();
        const HTREEITEM second = m_rt.AddRoot("b", IMG_HOST);
        QVERIFY(first != second);
        QVERIFY(m_rt.ItemOf(first) == nullptr);
    }

    void picturesAreMaskedAndLookTheSameSelected() {
        QCOMPARE(m_images->GetImageCount(), 5);
        for (int i = 0; i < 5; ++i) {
            const QImage img = m_images->Pixmap(i).toImage().convertToFormat(QImage::Format_ARGB32);
            QCOMPARE(img.size(), QSize(18, 18));
            // Every picture has a white corner, which must come out transparent, and some
            // drawn pixels, which must stay opaque.
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
        QVERIFY(m_images->Icon(5).isNull());
        QVERIFY(m_images->Icon(-1).isNull());
    }

    void appIconIs32By32() {
        const QIcon icon = LoadMainIcon();
        QVERIFY(!icon.isNull());
        QCOMPARE(icon.availableSizes().value(0), QSize(32, 32));
    }

    // The copied text: one line per item, two spaces per level below the copied one.
    void copiedText_data() {
        QTest::addColumn<int>("root");
        QTest::addColumn<int>("child"); // -1: the root itself
        QTest::addColumn<QString>("expected");
        QTest::newRow("whole request") << 0 << -1
                                       << "127.0.0.1\n"
                                          "  Reply from 127.0.0.1: Host is alive\n"
                                          "    Packet size: 32 bytes\n"
                                          "    RTT: 0 ms\n";
        QTest::newRow("an item with its details") << 0 << 0
                                                  << "Reply from 127.0.0.1: Host is alive\n"
                                                     "  Packet size: 32 bytes\n"
                                                     "  RTT: 0 ms\n";
        QTest::newRow("a folded item") << 1 << 0 << "Host lookup failed\n  Error: 11001\n";
    }
    void copiedText() {
        QFETCH(int, root);
        QFETCH(int, child);
        QFETCH(QString, expected);
        FillTwoRequests();
        QTreeWidgetItem* item = m_widget->topLevelItem(root);
        if (child >= 0) {
            item = item->child(child);
        }
        m_widget->setCurrentItem(item);
        QGuiApplication::clipboard()->clear();
        QTest::keySequence(m_widget.get(), QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(), expected);
    }

    void copyAllTakesEveryRequest() {
        FillTwoRequests();
        QCOMPARE(m_widget->AllText(), QString("127.0.0.1\n"
                                              "  Reply from 127.0.0.1: Host is alive\n"
                                              "    Packet size: 32 bytes\n"
                                              "    RTT: 0 ms\n"
                                              "nowhere.invalid\n"
                                              "  Host lookup failed\n"
                                              "    Error: 11001\n"));
    }

    void contextMenuOffersCopyAndCopyAll_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("all");
        QTest::newRow("Copy") << "&Copy" << false;
        QTest::newRow("Copy All") << "Copy &All" << true;
    }
    void contextMenuOffersCopyAndCopyAll() {
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
                     : ReportTreeWidget::SubtreeText(m_widget->topLevelItem(1)));
    }
};

QTEST_MAIN(TestReportTree)
#include "test_report_tree.moc"

// ReportTree: requests in order with their pictures and folding, handles that outlive Clear, the
// pictures themselves, and what Ctrl+C and the context menu copy.

#include "ui/image_list.h"
#include "ui/report_tree.h"

#include <QtTest>
#include <QtWidgets>

class TestReportTree : public QObject {
    Q_OBJECT
    const CImageList* m_images = CImageList::CreateReportImages();
    ReportTreeWidget m_widget;
    ReportTree m_rt;

private Q_SLOTS:
    // Two requests as the pages make them: a ping with a reply and its details, then a failed
    // lookup whose details stay folded; only the latest root is renamed.
    void init() {
        m_widget.SetImageList(m_images);
        m_rt.Attach(&m_widget);
        m_rt.Clear();
        m_rt.AddRoot("127.0.0.1", IMG_HOST);
        const HTREEITEM reply =
            m_rt.AddItem(m_rt.Root(), "Reply from 127.0.0.1: Host is alive", IMG_OK);
        m_rt.AddItem(reply, "Packet size: 32 bytes", IMG_INFO);
        m_rt.AddItem(reply, "RTT: 0 ms", IMG_INFO);
        m_rt.ExpandRoot();
        m_rt.AddRoot("nowhere.invalid", IMG_HOST);
        m_rt.AddItem(m_rt.AddItem(m_rt.Root(), "Host lookup failed", IMG_FAIL), "Error: 11001",
                     IMG_INFO);
        m_rt.ExpandRoot();
        m_rt.SetRootText("nowhere.invalid (2)");
        m_rt.SetRootImage(IMG_ROUTE);
    }

    // The text of every request in order; then each item's picture, "!" when its icon is not
    // that picture's, "+" when unfolded.
    void requestsStandInOrder() {
        QString marks;
        for (QTreeWidgetItemIterator it(&m_widget); *it; ++it) {
            const int image = ReportTree::ImageOf(*it);
            marks += QString::number(image) + ((*it)->isExpanded() ? "+" : "") +
                     ((*it)->icon(0).cacheKey() == m_images->Icon(image).cacheKey() ? "" : "!");
        }
        QCOMPARE(m_widget.AllText() + marks,
                 "127.0.0.1\n  Reply from 127.0.0.1: Host is alive\n    Packet size: 32 bytes\n"
                 "    RTT: 0 ms\nnowhere.invalid (2)\n  Host lookup failed\n    Error: 11001\n"
                 "0+2441+34");
        QVERIFY(m_rt.ItemOf(m_rt.Last())->text(0) == "Error: 11001" && !m_widget.rootIsDecorated());
    }

    // Handles kept from before a Clear (and one never given) name nothing, then and after a new
    // request: every operation with them does nothing.
    void handlesAfterClear() {
        const HTREEITEM oldRoot = ReportTree::HandleOf(m_widget.topLevelItem(0)),
                        kept = m_rt.Last();
        for (int i = 0; i < 2; ++i) {
            m_rt.Clear();
            m_rt.SetRootText("late");
            m_rt.SetRootImage(IMG_FAIL);
            m_rt.ExpandRoot();
            QVERIFY(!m_rt.Root() && !m_rt.Last() && !m_rt.AddItem(HTREEITEM{999}, "late", 0));
        }
        m_rt.AddRoot("next", IMG_HOST);
        QVERIFY(!m_rt.AddItem(kept, "late", 0) && !m_rt.AddItem(oldRoot, "late", 0) &&
                !m_rt.AddItem(HTREEITEM{}, "late", 0));
        QCOMPARE(m_widget.AllText() + QString::number(m_widget.topLevelItemCount()), "next\n1");
    }

    // Five pictures of 18 pixels with a transparent white corner, the same when selected; the
    // window icon 32 pixels.
    void pictures() {
        for (int i = 0; i < 5; ++i) {
            const QImage img = m_images->Pixmap(i).toImage().convertToFormat(QImage::Format_ARGB32);
            const auto* pixels = reinterpret_cast<const QRgb*>(img.constBits());
            const auto opaque =
                std::count_if(pixels, pixels + 18 * 18, [](QRgb c) { return qAlpha(c) == 255; });
            QVERIFY(img.size() == QSize(18, 18) && qAlpha(img.pixel(0, 0)) == 0 && opaque > 20);
            QCOMPARE(m_images->Icon(i).pixmap(18, QIcon::Selected).toImage(),
                     m_images->Icon(i).pixmap(18).toImage());
        }
        QVERIFY(m_images->Icon(5).isNull() && m_images->Icon(-1).isNull());
        QCOMPARE(LoadMainIcon().availableSizes().value(0), QSize(32, 32));
    }

    // A right click makes the request under it current and offers the copies (and statistics,
    // here without a Ping or Trace run); Ctrl+C then copies the current item with its details.
    void copies_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("copied"); // null: every request
        const QString second = "nowhere.invalid (2)\n  Host lookup failed\n    Error: 11001\n";
        QTest::newRow("Copy") << "&Copy" << second;
        QTest::newRow("Ctrl+C") << "" << second;
        QTest::newRow("Copy All") << "Copy &All" << QString();
    }
    void copies() {
        QFETCH(QString, action);
        QFETCH(QString, copied);
        m_widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_widget));
        QGuiApplication::clipboard()->clear();
        QString offered;
        QTimer::singleShot(0, this, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            for (QAction* a : menu ? menu->actions() : QList<QAction*>()) {
                offered += (a->isEnabled() ? "|" : "|-") + a->text();
                a->text() == action ? a->trigger() : void();
            }
            menu ? void(menu->close()) : void();
        });
        const QPoint at = m_widget.visualItemRect(m_widget.topLevelItem(1)).center();
        QContextMenuEvent click(QContextMenuEvent::Mouse, at, m_widget.viewport()->mapToGlobal(at));
        QApplication::sendEvent(m_widget.viewport(), &click);
        action.isEmpty() ? QTest::keySequence(&m_widget, QKeySequence::Copy) : void();
        QCOMPARE(offered + "\n" + QGuiApplication::clipboard()->text(),
                 "|&Copy|Copy &All||-&Statistics...|Sa&ve As...\n" +
                     (copied.isNull() ? m_widget.AllText() : copied));
    }
};

QTEST_MAIN(TestReportTree)
#include "test_report_tree.moc"

#include "ui/report_tree.h"

#include "ui/image_list.h"
#include "ui/run_window.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>

namespace {
// The item's image index lives beside its text, so copies and tests can read it back.
constexpr int kImageRole = Qt::UserRole + 1;
constexpr int kHandleRole = Qt::UserRole + 2;

void AppendSubtree(const QTreeWidgetItem* item, int depth, QString* out) {
    out->append(QString(depth * 2, QLatin1Char(' ')));
    out->append(item->text(0));
    out->append(QLatin1Char('\n'));
    for (int i = 0; i < item->childCount(); ++i) {
        AppendSubtree(item->child(i), depth + 1, out);
    }
}
} // namespace

ReportTreeWidget::ReportTreeWidget(QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    // Root items carry no expand button; lines and buttons start at the second level.
    setRootIsDecorated(false);
    setItemsExpandable(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setIconSize(QSize(18, 18));
    setUniformRowHeights(true);
    setContextMenuPolicy(Qt::DefaultContextMenu);
}

QString ReportTreeWidget::SubtreeText(const QTreeWidgetItem* item) {
    QString text;
    if (item != nullptr) {
        AppendSubtree(item, 0, &text);
    }
    return text;
}

QString ReportTreeWidget::AllText() const {
    QString text;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        AppendSubtree(topLevelItem(i), 0, &text);
    }
    return text;
}

void ReportTreeWidget::CopyCurrent() {
    if (const QTreeWidgetItem* item = currentItem()) {
        QGuiApplication::clipboard()->setText(SubtreeText(item));
    }
}

void ReportTreeWidget::CopyAll() {
    if (topLevelItemCount() > 0) {
        QGuiApplication::clipboard()->setText(AllText());
    }
}

void ReportTreeWidget::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        CopyCurrent();
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void ReportTreeWidget::contextMenuEvent(QContextMenuEvent* event) {
    // A right click picks the item under the pointer first, as it would in a file list.
    if (QTreeWidgetItem* under = itemAt(viewport()->mapFromGlobal(event->globalPos()))) {
        setCurrentItem(under);
    }
    QMenu menu(this);
    FillContextMenu(&menu);
    menu.exec(event->globalPos());
}

void ReportTreeWidget::FillContextMenu(QMenu* menu) {
    QAction* copy = menu->addAction(tr("&Copy"), this, &ReportTreeWidget::CopyCurrent);
    copy->setEnabled(currentItem() != nullptr);
    QAction* all = menu->addAction(tr("Copy &All"), this, &ReportTreeWidget::CopyAll);
    all->setEnabled(topLevelItemCount() > 0);
    if (m_report != nullptr) {
        AddRunActions(menu, this, m_report);
    }
}

QTreeWidgetItem* ReportTree::Insert(QTreeWidgetItem* parent, const QString& text, int image,
                                    HTREEITEM* handle) {
    auto* item = new QTreeWidgetItem(QStringList{text});
    SetImage(item, image);
    // Every item goes after its existing siblings: requests stand in the order they were made.
    if (parent != nullptr) {
        parent->addChild(item);
    } else {
        m_tree->addTopLevelItem(item);
    }
    *handle = HTREEITEM{m_nextId++};
    m_items.insert(handle->id, item);
    item->setData(0, kHandleRole, QVariant::fromValue<quint64>(handle->id));
    return item;
}

HTREEITEM ReportTree::AddRoot(const QString& text, int image) {
    Insert(nullptr, text, image, &m_hRoot);
    return m_hRoot;
}

HTREEITEM ReportTree::AddItem(HTREEITEM parent, const QString& text, int image) {
    QTreeWidgetItem* parentItem = ItemOf(parent);
    if (parentItem == nullptr) {
        return {};
    }
    Insert(parentItem, text, image, &m_hLast);
    return m_hLast;
}

void ReportTree::SetRootText(const QString& text) {
    if (QTreeWidgetItem* root = ItemOf(m_hRoot)) {
        root->setText(0, text);
    }
}

void ReportTree::SetRootImage(int image) {
    if (QTreeWidgetItem* root = ItemOf(m_hRoot)) {
        SetImage(root, image);
    }
}

void ReportTree::ExpandRoot() {
    if (QTreeWidgetItem* root = ItemOf(m_hRoot)) {
        root->setExpanded(true);
    }
}

void ReportTree::Clear() {
    m_tree->clear();
    m_items.clear();
    m_runs->Clear();
    m_hRoot = {};
    m_hLast = {};
}

QTreeWidgetItem* ReportTree::ItemOf(HTREEITEM handle) const {
    return handle ? m_items.value(handle.id, nullptr) : nullptr;
}

int ReportTree::ImageOf(const QTreeWidgetItem* item) {
    return item->data(0, kImageRole).toInt();
}

HTREEITEM ReportTree::HandleOf(const QTreeWidgetItem* item) {
    return HTREEITEM{item->data(0, kHandleRole).value<quint64>()};
}

void ReportTree::SetImage(QTreeWidgetItem* item, int image) const {
    item->setData(0, kImageRole, image);
    const CImageList* list = m_tree->GetImageList();
    item->setIcon(0, list != nullptr ? list->Icon(image) : QIcon());
}

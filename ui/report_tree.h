#pragma once
// A page's result tree: one root item per request, results beneath it, details beneath
// those. ReportTree is what the pages call; ReportTreeWidget is the control it drives.
//
// Items are named by HTREEITEM handles, not pointers. A handle is an id that the tree never
// hands out twice; Clear forgets every id, so a handle kept across a Clear (a worker's reply
// item, the root of a request under way) names nothing afterwards and every operation on it
// does nothing. Handles are plain values and may be carried to other threads; the operations
// themselves run on the GUI thread only.

#include "net/run_record.h"

#include <QHash>
#include <QTreeWidget>

#include <cstdint>
#include <memory>

class CImageList;
class QMenu;
class ReportTree;

struct HTREEITEM {
    uint64_t id = 0;
    explicit operator bool() const { return id != 0; }
    friend bool operator==(HTREEITEM, HTREEITEM) = default;
};

// The tree control of a page. Besides showing the items it copies them as text: Ctrl+C and
// "&Copy" take the current item with everything beneath it, "Copy &All" every request. Its
// context menu also opens the statistics of a Ping or Trace request and saves the page's
// requests ("&Statistics...", "Sa&ve As...", ui/run_window.h).
class ReportTreeWidget : public QTreeWidget {
    Q_OBJECT
public:
    explicit ReportTreeWidget(QWidget* parent = nullptr);

    // The image list is shared and outlives the tree.
    void SetImageList(const CImageList* list) { m_pImageList = list; }
    const CImageList* GetImageList() const { return m_pImageList; }

    // One line per item, the given item unindented and each level beneath it two more
    // spaces in; every line ends with "\n".
    static QString SubtreeText(const QTreeWidgetItem* item);
    QString AllText() const;

    void CopyCurrent();
    void CopyAll();

    // The ReportTree that drives this control (set by ReportTree::Attach).
    ReportTree* Report() const { return m_report; }
    void SetReport(ReportTree* report) { m_report = report; }
    // The context menu's actions for the current item.
    void FillContextMenu(QMenu* menu);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    const CImageList* m_pImageList = nullptr;
    ReportTree* m_report = nullptr;
};

class ReportTree {
public:
    // Binds the control (the dialog's data exchange does this once).
    void Attach(ReportTreeWidget* tree) {
        m_tree = tree;
        tree->SetReport(this);
    }
    ReportTreeWidget* GetTree() const { return m_tree; }

    HTREEITEM AddRoot(const QString& text, int image);
    // Adds nothing and returns a null handle when parent names no item.
    HTREEITEM AddItem(HTREEITEM parent, const QString& text, int image);
    void SetRootText(const QString& text);
    void SetRootImage(int image);
    void ExpandRoot();
    void Clear();

    HTREEITEM Root() const { return m_hRoot; }
    HTREEITEM Last() const { return m_hLast; }
    // The item a handle names, or null once it is gone.
    QTreeWidgetItem* ItemOf(HTREEITEM handle) const;
    // The image index an item was given.
    static int ImageOf(const QTreeWidgetItem* item);
    // The handle of an item of this tree.
    static HTREEITEM HandleOf(const QTreeWidgetItem* item);
    // The Ping and Trace runs of this tree by their root's id; Clear drops them.
    RunLog& Runs() const { return *m_runs; }

private:
    QTreeWidgetItem* Insert(QTreeWidgetItem* parent, const QString& text, int image,
                            HTREEITEM* handle);
    void SetImage(QTreeWidgetItem* item, int image) const;

    ReportTreeWidget* m_tree = nullptr;
    QHash<uint64_t, QTreeWidgetItem*> m_items;
    uint64_t m_nextId = 1;
    HTREEITEM m_hRoot;
    HTREEITEM m_hLast;
    std::unique_ptr<RunLog> m_runs = std::make_unique<RunLog>();
};

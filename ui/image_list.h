#pragma once
// The image list the four report trees share: five 18 x 18 pictures, white masked out.

#include <QIcon>
#include <QPixmap>

#include <vector>

enum ImageIndex { IMG_HOST = 0, IMG_ROUTE = 1, IMG_OK = 2, IMG_FAIL = 3, IMG_INFO = 4 };

class CImageList {
public:
    // The list with the five pictures of bitmaps IDB_HOST..IDB_INFO, in that order; the same
    // list on every call.
    static CImageList* CreateReportImages();

    int GetImageCount() const { return static_cast<int>(m_pixmaps.size()); }
    // The same icon in every mode, so an item looks the same selected or not; a null icon
    // for an index outside the list.
    QIcon Icon(int index) const;
    QPixmap Pixmap(int index) const;

private:
    void AddMasked(const QPixmap& bitmap, QColor mask);
    std::vector<QPixmap> m_pixmaps;
    std::vector<QIcon> m_icons;
};

// The application icon IDR_MAINFRAME, 32 x 32.
QIcon LoadMainIcon();

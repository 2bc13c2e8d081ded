#include "ui/image_list.h"

#include <QBitmap>

// The pictures are XPM, which is C; each file defines one array.
#include "res/images/fail.xpm"
#include "res/images/host.xpm"
#include "res/images/info.xpm"
#include "res/images/mainframe.xpm"
#include "res/images/ok.xpm"
#include "res/images/route.xpm"

CImageList* CImageList::CreateReportImages() {
    // One list for the process, made on first use and never destroyed: the trees that show it
    // may live until the process ends, and a pixmap must not outlive the GUI application.
    static CImageList* const list = [] {
        auto* made = new CImageList;
        for (const char* const* xpm : {host_xpm, route_xpm, ok_xpm, fail_xpm, info_xpm}) {
            made->AddMasked(QPixmap(xpm), Qt::white);
        }
        return made;
    }();
    return list;
}

void CImageList::AddMasked(const QPixmap& bitmap, QColor mask) {
    QPixmap pix = bitmap;
    pix.setMask(pix.createMaskFromColor(mask, Qt::MaskInColor));
    QIcon icon;
    for (QIcon::Mode mode : {QIcon::Normal, QIcon::Active, QIcon::Selected}) {
        icon.addPixmap(pix, mode);
    }
    m_pixmaps.push_back(pix);
    m_icons.push_back(icon);
}

QIcon CImageList::Icon(int index) const {
    if (index < 0 || index >= GetImageCount()) {
        return {};
    }
    return m_icons[static_cast<size_t>(index)];
}

QPixmap CImageList::Pixmap(int index) const {
    if (index < 0 || index >= GetImageCount()) {
        return {};
    }
    return m_pixmaps[static_cast<size_t>(index)];
}

QIcon LoadMainIcon() {
    QPixmap pix(mainframe_xpm);
    pix.setMask(pix.createMaskFromColor(Qt::white, Qt::MaskInColor));
    return QIcon(pix);
}

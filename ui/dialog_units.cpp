#include "ui/dialog_units.h"

#include <QFontMetrics>

QFont DialogFont(int points) {
    QFont font(QStringLiteral("Sans Serif"), points);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    // The platform's average width: the 52 letters' width halved twice with rounding.
    static const QString kLetters =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const QFontMetrics fm(font);
    return {(fm.horizontalAdvance(kLetters) / 26 + 1) / 2, fm.height()};
}

QRect MapDialogRect(const DialogBaseUnits& base, int x, int y, int w, int h) {
    return {MulDiv(x, base.cx, 4), MulDiv(y, base.cy, 8), MulDiv(w, base.cx, 4),
            MulDiv(h, base.cy, 8)};
}

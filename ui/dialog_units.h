#pragma once
// Dialog units to pixels, the way the old platform maps a dialog template: one horizontal
// unit is a quarter of the dialog font's average character width, one vertical unit an
// eighth of its height.

#include <QFont>
#include <QRect>
#include <QSize>

struct DialogBaseUnits {
    int cx = 0; // average character width, pixels
    int cy = 0; // character height, pixels
};

// The dialog font: the platform's default sans-serif at the template's point size.
QFont DialogFont(int points);

DialogBaseUnits BaseUnitsOf(const QFont& font);

// MulDiv with rounding to nearest, as the platform rounds.
constexpr int MulDiv(int number, int numerator, int denominator) {
    const long long p = static_cast<long long>(number) * numerator;
    return static_cast<int>((p >= 0 ? p + denominator / 2 : p - denominator / 2) / denominator);
}

QRect MapDialogRect(const DialogBaseUnits& base, int x, int y, int w, int h);

#pragma once
// Builds a dialog's controls from its template: one widget per control, at its rectangle in
// dialog units mapped by the parent's font, in template order, with the Tab key following
// that order and each label's access key leading to the next control that takes the focus.

#include "ui/dialog_units.h"

#include <QHash>
#include <QSize>

class QWidget;
namespace res {
struct DialogTemplate;
}

struct BuiltTemplate {
    QHash<int, QWidget*> controls; // by id; statics without an id are left out
    QSize clientSize;              // the template's size, pixels
    DialogBaseUnits base;
};

BuiltTemplate BuildFromTemplate(const res::DialogTemplate& tmpl, QWidget* client);

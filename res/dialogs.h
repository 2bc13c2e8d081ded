#pragma once
// The dialogs' templates and the main menu as data: each dialog's controls in template order
// (the order of creation and of the Tab key) with their rectangles in dialog units.

#include <span>

namespace res {

enum class ControlClass {
    Static,
    ComboBox,
    Tree,
    Button,
    DefButton, // the dialog's default push button
    GroupBox,
    Edit, // a one-line edit
    ReadOnlyEdit,
    UpDown, // attaches to the edit before it
    Tab,
    Icon, // the application icon
};

constexpr int IDC_STATIC = 65535; // a static item without an id of its own

struct ControlTemplate {
    int id;
    const char* name; // the id's name, given to the widget as its object name
    ControlClass cls;
    const char* text; // with '&' before the access key
    int x, y, w, h;   // dialog units; a combo box's height is that of its dropped-down list
};

struct DialogTemplate {
    const char* caption;
    const char* fontFace; // the old platform's face; mapped to the default sans-serif
    int fontPoints;
    int w, h; // dialog units
    std::span<const ControlTemplate> controls;
};

const DialogTemplate& MainDialog();
const DialogTemplate& OptionsDialog();
const DialogTemplate& AboutDialog();

// One menu item: a command (id != 0), a separator (text null) or a popup (children).
struct MenuItem {
    const char* text;
    int id;
    std::span<const MenuItem> children;
};

std::span<const MenuItem> MainMenu();

} // namespace res

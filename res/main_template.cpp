#include "res/main_template.h"

#include "res/resource.h"

namespace res {
namespace {

using C = ControlClass;

// x, y, w, h in dialog units, exactly as the dialog was laid out.
constexpr ControlTemplate kControls[] = {
    {IDC_PING_HOST_LABEL, "IDC_PING_HOST_LABEL", C::Static, "H&ost:", 7, 21, 17, 8},
    {IDC_PING_HOST, "IDC_PING_HOST", C::ComboBox, "", 47, 19, 149, 100},
    {IDC_PING_RESPONSE_LABEL, "IDC_PING_RESPONSE_LABEL", C::Static, "&Response:", 7, 40, 34, 8},
    {IDC_PING_TREE, "IDC_PING_TREE", C::Tree, "PingTree", 47, 38, 205, 122},
    {IDC_PING_START, "IDC_PING_START", C::Button, "&Start", 202, 19, 50, 14},
    {IDC_TRACE_HOST_LABEL, "IDC_TRACE_HOST_LABEL", C::Static, "H&ost:", 7, 21, 17, 8},
    {IDC_TRACE_HOST, "IDC_TRACE_HOST", C::ComboBox, "", 47, 19, 149, 100},
    {IDC_TRACE_RESPONSE_LABEL, "IDC_TRACE_RESPONSE_LABEL", C::Static, "&Response:", 7, 40, 34, 8},
    {IDC_TRACE_TREE, "IDC_TRACE_TREE", C::Tree, "TraceTree", 47, 38, 205, 122},
    {IDC_TRACE_START, "IDC_TRACE_START", C::Button, "&Start", 202, 19, 50, 14},
    {IDC_LOOKUP_HOST_LABEL, "IDC_LOOKUP_HOST_LABEL", C::Static, "H&ost:", 7, 21, 17, 8},
    {IDC_LOOKUP_HOST, "IDC_LOOKUP_HOST", C::ComboBox, "", 47, 19, 149, 100},
    {IDC_LOOKUP_RESPONSE_LABEL, "IDC_LOOKUP_RESPONSE_LABEL", C::Static, "&Response:", 7, 40, 34, 8},
    {IDC_LOOKUP_TREE, "IDC_LOOKUP_TREE", C::Tree, "LookupTree", 47, 38, 205, 122},
    {IDC_LOOKUP_START, "IDC_LOOKUP_START", C::Button, "&Start", 202, 19, 50, 14},
    {IDC_LOCAL_HOST_LABEL, "IDC_LOCAL_HOST_LABEL", C::Static, "Host:", 7, 21, 17, 8},
    {IDC_LOCAL_HOST, "IDC_LOCAL_HOST", C::Edit, "", 47, 19, 149, 12},
    {IDC_LOCAL_RESPONSE_LABEL, "IDC_LOCAL_RESPONSE_LABEL", C::Static, "&Response:", 7, 40, 34, 8},
    {IDC_LOCAL_TREE, "IDC_LOCAL_TREE", C::Tree, "LocalInfoTree", 47, 38, 205, 122},
    {IDC_REFRESH, "IDC_REFRESH", C::Button, "R&efresh", 202, 19, 50, 14},
    {IDC_TAB, "IDC_TAB", C::Tab, "Tab", 0, 0, 259, 167},
};

constexpr DialogTemplate kMain{"Sabrevin", "MS Sans Serif", 8, 259, 167, kControls};

constexpr MenuItem kClear[] = {
    {"Current &Tab", ID_CLEAR_CURRENT, {}},
    {"&All", ID_CLEAR_ALL, {}},
};
constexpr MenuItem kTools[] = {
    {"&Ping", ID_TOOLS_PING, {}},
    {"&Trace", ID_TOOLS_TRACE, {}},
    {"&Lookup", ID_TOOLS_LOOKUP, {}},
    {"Local &Info", ID_TOOLS_LOCALINFO, {}},
    {nullptr, 0, {}},
    {"&Clear", 0, kClear},
    {nullptr, 0, {}},
    {"E&xit", ID_TOOLS_EXIT, {}},
};
constexpr MenuItem kWeb[] = {
    {"&Sabrevin Home Page", ID_HELP_HOMEPAGE, {}},
    {"&Corvale Home Page", ID_HELP_SIBLINGPAGE, {}},
};
constexpr MenuItem kHelp[] = {
    {"On the &Web", 0, kWeb},
    {nullptr, 0, {}},
    {"&About Sabrevin...", ID_HELP_ABOUT, {}},
};
constexpr MenuItem kMenuBar[] = {
    {"&Tools", 0, kTools},
    {"O&ptions", ID_OPTIONS, {}},
    {"&Help", 0, kHelp},
};

} // namespace

const DialogTemplate& MainDialog() {
    return kMain;
}

std::span<const MenuItem> MainMenu() {
    return kMenuBar;
}

} // namespace res

#include "res/dialogs.h"

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
    {IDC_LOCAL_HOST, "IDC_LOCAL_HOST", C::ReadOnlyEdit, "", 47, 19, 149, 12},
    {IDC_LOCAL_RESPONSE_LABEL, "IDC_LOCAL_RESPONSE_LABEL", C::Static, "&Response:", 7, 40, 34, 8},
    {IDC_LOCAL_TREE, "IDC_LOCAL_TREE", C::Tree, "LocalInfoTree", 47, 38, 205, 122},
    {IDC_REFRESH, "IDC_REFRESH", C::Button, "R&efresh", 202, 19, 50, 14},
    {IDC_TAB, "IDC_TAB", C::Tab, "Tab", 0, 0, 259, 167},
};

constexpr DialogTemplate kMain{"Sabrevin", "MS Sans Serif", 8, 259, 167, kControls};

constexpr ControlTemplate kOptionsControls[] = {
    {IDC_STATIC, "", C::GroupBox, "Ping", 7, 3, 134, 64},
    {IDC_STATIC, "", C::Static, "Packets to &Send:", 18, 17, 55, 8},
    {IDC_PACKETS, "IDC_PACKETS", C::Edit, "", 78, 15, 30, 12},
    {IDC_PACKETS_SPIN, "IDC_PACKETS_SPIN", C::UpDown, "Spin1", 107, 15, 8, 12},
    {IDC_STATIC, "", C::Static, "&Timeout:", 18, 33, 31, 8},
    {IDC_TIMEOUT, "IDC_TIMEOUT", C::Edit, "", 78, 31, 30, 12},
    {IDC_TIMEOUT_SPIN, "IDC_TIMEOUT_SPIN", C::UpDown, "Spin2", 107, 31, 8, 12},
    {IDC_STATIC, "", C::Static, "sec", 113, 33, 12, 8},
    {IDC_STATIC, "", C::Static, "Packet Si&ze:", 18, 49, 42, 8},
    {IDC_PACKET_SIZE, "IDC_PACKET_SIZE", C::Edit, "", 78, 47, 30, 12},
    {IDC_PACKET_SIZE_SPIN, "IDC_PACKET_SIZE_SPIN", C::UpDown, "Spin3", 107, 47, 8, 12},
    {IDC_STATIC, "", C::Static, "bytes", 113, 49, 18, 8},
    {IDC_STATIC, "", C::GroupBox, "Trace", 7, 70, 134, 32},
    {IDC_STATIC, "", C::Static, "Number of &Hops:", 18, 84, 55, 8},
    {IDC_HOPS, "IDC_HOPS", C::Edit, "", 78, 82, 30, 12},
    {IDC_HOPS_SPIN, "IDC_HOPS_SPIN", C::UpDown, "Spin4", 107, 82, 8, 12},
    {IDOK, "IDOK", C::DefButton, "OK", 149, 7, 50, 14},
    {IDCANCEL, "IDCANCEL", C::Button, "Cancel", 149, 24, 50, 14},
};

constexpr DialogTemplate kOptions{"Options", "MS Sans Serif", 8, 205, 109, kOptionsControls};

constexpr ControlTemplate kAboutControls[] = {
    {IDC_STATIC, "", C::Icon, "", 7, 7, 20, 20},
    {IDC_STATIC, "", C::Static, "Sabrevin\u00ae version " SABREVIN_VERSION " for Windows 95/NT", 40,
     10, 137, 8},
    {IDC_STATIC, "", C::Static, "Linux build: Qt 6, glibc, c-ares.", 40, 28, 120, 8},
    {IDOK, "IDOK", C::DefButton, "OK", 182, 7, 32, 14},
    {IDC_STATIC, "", C::Static, "As is, no warranty.", 40, 39, 70, 8},
    {IDC_STATIC, "", C::Static, "www.varnstead.example/sabrevin/", 40, 60, 151, 8},
};

constexpr DialogTemplate kAbout{"About Sabrevin", "MS Sans Serif", 8, 220, 75, kAboutControls};

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

const DialogTemplate& OptionsDialog() {
    return kOptions;
}

const DialogTemplate& AboutDialog() {
    return kAbout;
}

std::span<const MenuItem> MainMenu() {
    return kMenuBar;
}

} // namespace res

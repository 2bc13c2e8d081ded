#pragma once
// Resource identifiers of the program: dialogs, controls, menu commands, icon and bitmaps,
// strings. The values are those of the original resource script and are kept so that every
// part of the program names a control or command the same way.

// Dialogs
constexpr int IDD_MAIN = 101;
constexpr int IDD_OPTIONS = 102;
constexpr int IDD_ABOUT = 103;

// Dialog buttons
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Strings
constexpr int IDS_SOCKETS_INIT_FAILED = 104;

// Icon and menu
constexpr int IDR_MAINFRAME = 105;
constexpr int IDR_MAINMENU = 106;

// Bitmaps of the report trees' image list, in list order
constexpr int IDB_HOST = 107;
constexpr int IDB_ROUTE = 108;
constexpr int IDB_OK = 109;
constexpr int IDB_FAIL = 110;
constexpr int IDB_INFO = 111;

// Main dialog controls. Page p owns 1002 + 5p .. 1006 + 5p: host label, host box,
// response label, tree, button.
constexpr int IDC_TAB = 1001;
constexpr int IDC_PING_HOST_LABEL = 1002;
constexpr int IDC_PING_HOST = 1003;
constexpr int IDC_PING_RESPONSE_LABEL = 1004;
constexpr int IDC_PING_TREE = 1005;
constexpr int IDC_PING_START = 1006;
constexpr int IDC_TRACE_HOST_LABEL = 1007;
constexpr int IDC_TRACE_HOST = 1008;
constexpr int IDC_TRACE_RESPONSE_LABEL = 1009;
constexpr int IDC_TRACE_TREE = 1010;
constexpr int IDC_TRACE_START = 1011;
constexpr int IDC_LOOKUP_HOST_LABEL = 1012;
constexpr int IDC_LOOKUP_HOST = 1013;
constexpr int IDC_LOOKUP_RESPONSE_LABEL = 1014;
constexpr int IDC_LOOKUP_TREE = 1015;
constexpr int IDC_LOOKUP_START = 1016;
constexpr int IDC_LOCAL_HOST_LABEL = 1017;
constexpr int IDC_LOCAL_HOST = 1018;
constexpr int IDC_LOCAL_RESPONSE_LABEL = 1019;
constexpr int IDC_LOCAL_TREE = 1020;
constexpr int IDC_REFRESH = 1021;

// Options dialog controls: each edit with its up-down control
constexpr int IDC_PACKETS = 1022;
constexpr int IDC_PACKETS_SPIN = 1023;
constexpr int IDC_TIMEOUT = 1024;
constexpr int IDC_TIMEOUT_SPIN = 1025;
constexpr int IDC_PACKET_SIZE = 1026;
constexpr int IDC_PACKET_SIZE_SPIN = 1027;
constexpr int IDC_HOPS = 1028;
constexpr int IDC_HOPS_SPIN = 1029;

// Menu commands
constexpr int ID_TOOLS_PING = 32771;
constexpr int ID_TOOLS_TRACE = 32772;
constexpr int ID_TOOLS_LOOKUP = 32773;
constexpr int ID_TOOLS_LOCALINFO = 32774;
constexpr int ID_TOOLS_EXIT = 32775;
constexpr int ID_OPTIONS = 32776;
constexpr int ID_HELP_ABOUT = 32777;
constexpr int ID_HELP_HOMEPAGE = 32778;
constexpr int ID_HELP_SIBLINGPAGE = 32779;
constexpr int ID_CLEAR_CURRENT = 32780;
constexpr int ID_CLEAR_ALL = 32781;
constexpr int ID_HELP = 57670;

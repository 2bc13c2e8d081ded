#pragma once
// The program's run-time binding of the ICMP echo service (net/icmp/icmp_api.h). The main dialog
// binds it once at start-up and keeps it for the life of the process; the ping and trace workers
// reach the service only through these entry points. No Qt here.
//
// The module "sabrevin-icmp.so" is looked up in the executable's own directory, then in
// ../lib/sabrevin/ relative to it (the installed layout). It is never unloaded, not even after a
// failed function lookup.

#include "net/icmp/icmp_api.h"

#include <string>

inline constexpr const char* kIcmpModuleName = "sabrevin-icmp.so";

typedef uint64_t (*PFN_IcmpGetLastRoundTripMicroseconds)(void);

struct IcmpEntryPoints {
    void* hModule = nullptr; // the dlopen handle; null when no module could be loaded
    PFN_IcmpCreateFile pfnIcmpCreateFile = nullptr;
    PFN_IcmpCloseHandle pfnIcmpCloseHandle = nullptr;
    PFN_IcmpSendEcho pfnIcmpSendEcho = nullptr;
    // Optional extras: null when the module lacks them, and the binding still succeeds.
    PFN_IcmpGetCreateError pfnIcmpGetCreateError = nullptr; // why IcmpCreateFile failed
    PFN_IcmpCancelHandle pfnIcmpCancelHandle = nullptr;     // interrupt a run at teardown
    PFN_Icmp6CreateFile pfnIcmp6CreateFile = nullptr;       // IPv6 handles
    PFN_Icmp6SendEcho2 pfnIcmp6SendEcho2 = nullptr;         // IPv6 requests
    PFN_IcmpSendEchoEx pfnIcmpSendEchoEx = nullptr;         // many requests in flight
    // the calling thread's last round trip, microseconds
    PFN_IcmpGetLastRoundTripMicroseconds pfnIcmpGetLastRoundTripMicroseconds = nullptr;
};

enum class IcmpBindResult {
    Ok,              // the module and the three functions were found
    ModuleMissing,   // no loadable module at either place ("Unable to locate ICMP.DLL!")
    FunctionMissing, // loaded, but at least one of the three functions is absent
};

// Loads the module and looks up "IcmpCreateFile", "IcmpCloseHandle" and "IcmpSendEcho", in this
// order and all three whatever the earlier lookups gave, then the optional extras; fills icmp.
// exeDir stands in for the executable's directory (the directory of /proc/self/exe) when it is
// not null: tests point it at a directory holding another module of the same file name.
IcmpBindResult BindIcmpEntryPoints(IcmpEntryPoints& icmp, const char* exeDir = nullptr);

// The calling thread's reason for its last failed IcmpCreateFile, or "" when the module does not
// say. Two lines: what was refused, and the two ways to allow it.
std::string IcmpCreateErrorText(const IcmpEntryPoints& icmp);

#include "net/icmp/icmp_binding.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        return ".";
    }
    *slash = '\0';
    return path[0] != '\0' ? path : "/";
}

template <typename Fn> Fn Lookup(void* module, const char* name) {
    // POSIX guarantees that dlsym's object pointer converts to a function pointer.
    return reinterpret_cast<Fn>(dlsym(module, name));
}

} // namespace

IcmpBindResult BindIcmpEntryPoints(IcmpEntryPoints& icmp, const char* exeDir) {
    icmp = IcmpEntryPoints{};
    const std::string dir = exeDir != nullptr ? std::string(exeDir) : ExecutableDirectory();
    const std::string candidates[] = {
        dir + "/" + kIcmpModuleName,
        dir + "/../lib/sabrevin/" + kIcmpModuleName,
    };
    for (const std::string& path : candidates) {
        // RTLD_LOCAL: the module's names stay out of the program's namespace.
        icmp.hModule = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (icmp.hModule != nullptr) {
            break;
        }
    }
    if (icmp.hModule == nullptr) {
        return IcmpBindResult::ModuleMissing;
    }
    icmp.pfnIcmpCreateFile = Lookup<PFN_IcmpCreateFile>(icmp.hModule, "IcmpCreateFile");
    icmp.pfnIcmpCloseHandle = Lookup<PFN_IcmpCloseHandle>(icmp.hModule, "IcmpCloseHandle");
    icmp.pfnIcmpSendEcho = Lookup<PFN_IcmpSendEcho>(icmp.hModule, "IcmpSendEcho");
    icmp.pfnIcmpGetCreateError = Lookup<PFN_IcmpGetCreateError>(icmp.hModule, "IcmpGetCreateError");
    icmp.pfnIcmpCancelHandle = Lookup<PFN_IcmpCancelHandle>(icmp.hModule, "IcmpCancelHandle");
    icmp.pfnIcmp6CreateFile = Lookup<PFN_Icmp6CreateFile>(icmp.hModule, "Icmp6CreateFile");
    icmp.pfnIcmp6SendEcho2 = Lookup<PFN_Icmp6SendEcho2>(icmp.hModule, "Icmp6SendEcho2");
    icmp.pfnIcmpSendEchoEx = Lookup<PFN_IcmpSendEchoEx>(icmp.hModule, "IcmpSendEchoEx");
    icmp.pfnIcmpGetLastRoundTripMicroseconds = Lookup<PFN_IcmpGetLastRoundTripMicroseconds>(
        icmp.hModule, "IcmpGetLastRoundTripMicroseconds");
    if (icmp.pfnIcmpCreateFile == nullptr || icmp.pfnIcmpCloseHandle == nullptr ||
        icmp.pfnIcmpSendEcho == nullptr) {
        return IcmpBindResult::FunctionMissing; // the module stays loaded
    }
    return IcmpBindResult::Ok;
}

std::string IcmpCreateErrorText(const IcmpEntryPoints& icmp) {
    if (icmp.pfnIcmpGetCreateError == nullptr) {
        return {};
    }
    const uint32_t length = icmp.pfnIcmpGetCreateError(nullptr, 0);
    std::vector<char> text(length + 1u);
    icmp.pfnIcmpGetCreateError(text.data(), static_cast<uint32_t>(text.size()));
    return std::string(text.data());
}

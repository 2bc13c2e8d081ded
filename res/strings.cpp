#include "res/strings.h"

#include "res/resource.h"

#include <algorithm>
#include <iterator>

namespace res {
namespace {

struct StringEntry {
    int id;
    const char* text;
};

// Sorted by id. The sockets layer's error codes are their own string ids.
constexpr StringEntry kStrings[] = {
    {IDS_SOCKETS_INIT_FAILED, "Windows sockets initialization failed."},
    {10000, "[0] No Error"},
    {10004, "WSAEINTR: Interrupted system call"},
    {10009, "WSAEBADF: Bad file number"},
    {10013, "WSACCESS: Permission denied"},
    {10014, "WSAEFAULT: Bad address"},
    {10022, "WSAEINVAL: Invalid argument"},
    {10024, "WSAEMFILE: Too many open files"},
    {10035, "WSAEWOULDBLOCK: Operation would block"},
    {10036, "WSAEINPROGRESS: Operation now in progress"},
    {10037, "WSAEALREADY: Operation already in progress"},
    {10038, "WSAENOTSOCK: Socket operation on non-socket"},
    {10039, "WSAEDESTADDRREQ: Destination address required"},
    {10040, "WSAEMSGSIZE: Message too long"},
    {10041, "WSAEPROTOTYPE: Protocol wrong type for socket"},
    {10042, "WSAENOPROTOOPT: Bad protocol option"},
    {10043, "WSAEPROTONOSUPPORT: Protocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT: Socket type not supported"},
    {10045, "WSAEOPNOTSUPP: Operation not supported on socket"},
    {10046, "WSAEPFNNOSUPPORT: Protocol family not supported"},
    {10047, "WSAEAFNNOSUPPORT: Address family not supported by protocol family"},
    {10048, "WSAEADDRINUSE: Address already in use"},
    {10049, "WSAEADDRNOTAVAIL: Can't assign requested address"},
    {10050, "WSAENETDOWN: Network is down"},
    {10051, "WSAENETUNREACH: Network is unreachable"},
    {10052, "WSAENETRESET: Net dropped connection or reset"},
    {10053, "WSAECONNABORTED: Software caused connection abort"},
    {10054, "WSAECONNRESET: Connection reset by peer"},
    {10055, "WSAENOBUFS: No buffer space available"},
    {10056, "WSAEISCONN: Socket is already connected"},
    {10057, "WSAENOTCONN: Socket is not connected"},
    {10058, "WSAESHUTDOWN: Can't send after socket shutdown"},
    {10059, "WSAETOOMANYREFS: Too many references, can't splice"},
    {10060, "WSAETIMEDOUT: Connection timed out"},
    {10061, "WSAECONNREFUSED: Connection refused"},
    {10062, "WSAELOOP: Too many levels of symbolic links"},
    {10063, "WSAENAMETOOLONG: File name too long"},
    {10064, "WSAEHOSTDOWN: Host is down"},
    {10065, "WSAEHOSTUNREACH: No Route to Host"},
    {10066, "WSAENOTEMPTY: Directory not empty"},
    {10067, "WSAEPROCLIM: Too many processes"},
    {10068, "WSAEUSERS: Too many users"},
    {10069, "WSAEDQUOT: Disc Quota Exceeded"},
    {10070, "WSAESTALE: Stale NFS file handle"},
    {10071, "WSAEREMOTE: Too many levels of remote in path"},
    {10091, "WSASYSNOTREADY: Network SubSystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED: WINSOCK DLL Version out of range"},
    {10093, "WSANOTINITIALISED: Successful WSASTARTUP not yet performed"},
    {11001, "WSAHOST_NOT_FOUND: Host not found"},
    {11002, "WSATRY_AGAIN: Non-Authoritative Host not found"},
    {11003, "WSANO_RECOVERY: Non-Recoverable errors: FORMERR, REFUSED, NOTIMP"},
    {11004, "WSANO_DATA: Valid name, no data record of requested type"},
};

static_assert(std::is_sorted(std::begin(kStrings), std::end(kStrings),
                             [](const StringEntry& a, const StringEntry& b) {
                                 return a.id < b.id;
                             }));

} // namespace

const char* LoadString(int id) {
    const auto* it = std::lower_bound(std::begin(kStrings), std::end(kStrings), id,
                                      [](const StringEntry& e, int want) { return e.id < want; });
    return it != std::end(kStrings) && it->id == id ? it->text : nullptr;
}

} // namespace res

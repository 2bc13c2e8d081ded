/*
 * A stand-in echo module that lacks one of the three functions, for the binding's "function
 * missing" outcome. Built three times, with LACKS_CREATE, LACKS_CLOSE or LACKS_SEND defined.
 */
#include "net/icmp/icmp_api.h"

#define EXPORT __attribute__((visibility("default")))

#ifndef LACKS_CREATE
EXPORT ICMP_HANDLE IcmpCreateFile(void) {
    return ICMP_INVALID_HANDLE;
}
#endif
#ifndef LACKS_CLOSE
EXPORT int IcmpCloseHandle(ICMP_HANDLE h) {
    (void)h;
    return 0;
}
#endif
#ifndef LACKS_SEND
EXPORT uint32_t IcmpSendEcho(ICMP_HANDLE h, IPAddr to, const void* data, uint16_t size,
                             const IP_OPTION_INFORMATION* options, void* reply, uint32_t reply_size,
                             uint32_t timeout) {
    (void)h, (void)to, (void)data, (void)size, (void)options, (void)reply, (void)reply_size;
    (void)timeout;
    return 0;
}
#endif

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
EXPORT int IcmpCloseHandle(ICMP_HANDLE IcmpHandle) {
    (void)IcmpHandle;
    return 0;
}
#endif

#ifndef LACKS_SEND
EXPORT uint32_t IcmpSendEcho(ICMP_HANDLE IcmpHandle, IPAddr DestinationAddress,
                             const void* RequestData, uint16_t RequestSize,
                             const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                             uint32_t ReplySize, uint32_t Timeout) {
    (void)IcmpHandle;
    (void)DestinationAddress;
    (void)RequestData;
    (void)RequestSize;
    (void)RequestOptions;
    (void)ReplyBuffer;
    (void)ReplySize;
    (void)Timeout;
    return 0;
}
#endif

/*
 * A stand-in echo module that lacks one of the three functions, for the binding's "function
 * missing" outcome. Built three times, with LACKS_create, LACKS_close or LACKS_send defined. The
 * binding never calls what it finds here, so a symbol of the name is all there is.
 */
#define EXPORT __attribute__((visibility("default")))

#ifndef LACKS_create
EXPORT char IcmpCreateFile;
#endif
#ifndef LACKS_close
EXPORT char IcmpCloseHandle;
#endif
#ifndef LACKS_send
EXPORT char IcmpSendEcho;
#endif

/*
 * A stand-in echo module that lacks one of the three functions, for the binding's "function
 * missing" outcome. Built three times, with LACKS_create, LACKS_close or LACKS_send defined. The
 * binding never calls what it finds here, so a symbol of the name (exported: the default
 * visibility) is all there is.
 */
#ifndef LACKS_create
char IcmpCreateFile;
#endif
#ifndef LACKS_close
char IcmpCloseHandle;
#endif
#ifndef LACKS_send
char IcmpSendEcho;
#endif

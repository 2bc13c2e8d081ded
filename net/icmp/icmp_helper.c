/*
 * sabrevin-icmp-helper: the only privileged code of Sabrevin. Every use of a privilege is in
 * this file, and a test fails when a privilege call turns up anywhere else.
 *
 * The install gives this program the file capability cap_net_raw (setcap cap_net_raw+ep). The
 * echo module (icmp_echo.c) starts it when neither a ping socket nor a raw socket of its own is
 * allowed, with one end of a Unix socket pair on descriptor 3 and an empty environment. The
 * program then
 *  1. opens one raw ICMP socket, which is what the capability is for;
 *  2. gives up every capability, before it does anything else;
 *  3. sends the socket (SCM_RIGHTS) and the errno of step 1 (0 on success, 4 bytes, host byte
 *     order) over descriptor 3, and exits.
 * It reads no input, no arguments and no environment, parses nothing, and links only libc. Run by
 * hand without a socket on descriptor 3, it just exits.
 *
 * What it hands over is more than a ping program lets its user have. A ping program keeps its raw
 * socket to itself; this one gives whoever starts it with a Unix socket on descriptor 3 (the echo
 * module, or any other program) a general raw ICMP socket of the caller's network namespace, with
 * nothing attached to limit it. On that socket the caller may set IP_HDRINCL and send IP packets of
 * its own making (any source address, any protocol field), and it receives every ICMP packet that
 * arrives in the namespace, other programs' echo replies and errors included; the filters the echo
 * module puts on it are the module's own choice, not the helper's. Whoever may execute the helper
 * can thus send raw IPv4 packets and watch all ICMP traffic of the namespace, as a holder of
 * CAP_NET_RAW could. The one thing that limits this is who may execute it: its file mode and group,
 * which the install decides (mode 0755 lets every user; mode 0750 and a group of its own keep it to
 * that group's members).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#define PARENT_FD 3

/* Empties the effective, permitted and inheritable sets; dropping needs no privilege. */
static int drop_capabilities(void) {
    struct __user_cap_header_struct header = {.version = _LINUX_CAPABILITY_VERSION_3, .pid = 0};
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
    memset(data, 0, sizeof data);
    return (int)syscall(SYS_capset, &header, data);
}

int main(void) {
    int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    int32_t error = raw < 0 ? errno : 0;
    if (drop_capabilities() != 0) {
        return 2; /* never hand out anything while a capability may remain */
    }

    union {
        struct cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(int))];
    } control;
    memset(&control, 0, sizeof control);
    struct iovec iov = {.iov_base = &error, .iov_len = sizeof error};
    struct msghdr msg = {.msg_iov = &iov, .msg_iovlen = 1};
    if (raw >= 0) {
        msg.msg_control = control.bytes;
        msg.msg_controllen = sizeof control.bytes;
        struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(c), &raw, sizeof raw);
    }
    ssize_t sent = sendmsg(PARENT_FD, &msg, MSG_NOSIGNAL);
    return sent == (ssize_t)sizeof error && raw >= 0 ? 0 : 1;
}

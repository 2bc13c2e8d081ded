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
 * It reads no input, no arguments and no environment, parses nothing, and links only libc. With
 * the capability it gives its caller no more than a ping program would: one socket that sends
 * and receives ICMP. Run by hand, it finds no socket pair on descriptor 3 and just exits.
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

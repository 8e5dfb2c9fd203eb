/* The pipe between the test driver (qxsimdrv.sys) and the user-mode process
 * that plays the device behind it (qxsim.exe on Windows). Plain C: the
 * driver includes it too.
 *
 * The driver opens \??\pipe\<name> (<name> from the device's "QxPipe"
 * value, else QXPIPE_DEFAULT_NAME) in byte mode and keeps it open across
 * calls, one call at a time:
 *
 *   request  u32 LE length n, then n bytes: the I/O-control call as the
 *            Linux endpoint carries it (qxwire.h: code, output size, input)
 *   reply    u32 LE length n, u32 LE flags, then n bytes: status and
 *            output bytes as on the Linux endpoint
 *
 * QXPIPE_UNPLUGGED in the flags: the device vanished with this call; the
 * driver takes its interface away before completing it, so that the next
 * open of the path fails as it does for a device pulled out. */
#ifndef QXPIPE_H
#define QXPIPE_H

#define QXPIPE_DEFAULT_NAME "qx-10_20"
#define QXPIPE_NAME_MAX 64
#define QXPIPE_PREFIX_BYTES 4
#define QXPIPE_REPLY_PREFIX_BYTES 8
#define QXPIPE_UNPLUGGED 1u
/* Largest packets: 8 + 16 + 65535 bytes in, 4 + 65535 bytes out. */
#define QXPIPE_MAX_REQUEST (8u + 16u + 65535u)
#define QXPIPE_MAX_REPLY (4u + 65535u)
/* The driver's bound on one call (the pipe's open, write and read
 * together), the same as the Linux transport's per-call bound; the
 * device's "QxTimeoutMs" value replaces it (tests of a silent device). */
#define QXPIPE_CALL_TIMEOUT_MS 5000u

#endif

// Control channel, device commands and firmware transfer over the device's
// request/answer mailboxes. Every function returns 0 for success and 1 for
// failure and prints "..\qxtest\qxctl:<line>:ERROR" at each failure site.
// Every wait goes through qx_sleep_ms and is bounded. The request codes and
// tags are in qxtags.h, the line of every failure site in qxsites.h, the
// bounds and pauses of the waits in qxlimits.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "qxmsg.h"
#include "qxtags.h"
#include "usbdevs.h"

#define QXCTL_MSG_SIZE 64
#define QXFWUP_CHUNK 61 // 64-byte message minus tag, type and length byte

// The operations that keep a record of their failure.
enum {
    QXOP_NONE = 0,
    QXOP_INFO,     // an info request (product, version, build, ...)
    QXOP_CHECKSUM, // the device checksum query
    QXOP_TRANSFER, // the firmware transfer
};

// How an operation failed.
enum {
    QXFAIL_OTHER = 0,     // the request could not be made (bad arguments, message too long)
    QXFAIL_CALL,          // an I/O-control call failed: the device stopped answering
    QXFAIL_NOT_READY,     // the device answered, but never reported ready
    QXFAIL_NO_ANSWER,     // the answer polls ran out without the awaited item
    QXFAIL_NO_PROGRESS,   // the device kept announcing no room or another offset
    QXFAIL_NOT_CONFIRMED, // the device never confirmed the end of the transfer
    QXFAIL_STOPPED,       // a stop was asked for (qx_request_stop): no further call made
};

// The last failure of an operation on a channel, kept beside the 0/1
// results and the diagnostic lines so that a caller can say why.
typedef struct QxFailure {
    int op;             // QXOP_*; QXOP_NONE: nothing has failed
    unsigned item;      // info: the tag asked for
    int how;            // QXFAIL_*
    const char *source; // the last failure site printed for it ("..\qxtest\qxctl"), or null
    int line;           // and its line
    uint32_t error;     // system or device error code of the failed call; 0 = none
    uint32_t position;  // transfer: bytes sent when it failed
    uint32_t length;    // transfer: the image length; checksum: the length asked
    unsigned attempt;   // left 0 here; a caller that retries the operation fills
    unsigned attempts;  // in which attempt it failed, of how many
} QxFailure;

typedef struct QxCtl {
    QxDevice devices[QXCTL_MAX_DEVICES];
    uint8_t ndev;      // next device number to probe
    QxFailure failure; // the last failed info request, checksum query or transfer
    QxFailure pending; // the one under way
    unsigned lines_at; // diagnostic lines and failed calls of this thread
    unsigned calls_at; // when it began
} QxCtl;

// The channel: the opened entry (only entry 0 can be opened, so it designates
// the QxCtl itself); null while no device is open. Commands take the address
// of the field that holds it.
typedef QxCtl *QxChannel;

// Transfer position shared with another thread's reader.
typedef std::atomic<int32_t> QxProgress;

typedef struct QxListEntry {
    uint32_t addr;
    uint8_t subaddr;
    int16_t value;
} QxListEntry;

// --- control channel and transactions ---
int qxctl_clear(QxCtl *ctl);
int qxctl_init(QxCtl *ctl);
int qxctl_open(QxCtl *ctl, QxChannel *channel);
int qxctl_send(QxChannel *ch, QxMsg *msg);
int qxctl_recv(QxChannel *ch, QxMsg *msg);
int qxctl_wait_ready(QxChannel *ch);
int qxctl_send_alt(QxChannel *ch, QxMsg *msg);
int qxctl_recv_alt(QxChannel *ch, QxMsg *msg);
int qxctl_wait_ready_alt(QxChannel *ch);
void qxctl_print_text(const char *text, int count);

// --- the record of the last failure ---
// An operation begins its record, notes how it fails and where it is, and
// ends with its result: a failure becomes the channel's last failure, a
// success leaves the earlier one in place.
void qxctl_failure_begin(QxChannel *ch, int op, unsigned item, uint32_t length);
int qxctl_failure_end(QxChannel *ch, int result);
void qxctl_failure_note(QxChannel *ch, int how);
void qxctl_failure_position(QxChannel *ch, uint32_t position);
// 0 and a copy of the last failure since qxctl_init; 1 when nothing has
// failed.
int qxctl_last_failure(const QxCtl *ctl, QxFailure *failure);

// --- device commands ---
int qxctl_get_info(QxChannel *ch, void *dst, unsigned capacity, unsigned *size, unsigned tag);
int qxctl_get_version(QxChannel *ch, uint16_t *version);
int qxctl_get_build(QxChannel *ch, uint16_t *build);
int qxctl_get_product(QxChannel *ch, char *buf, unsigned capacity, unsigned *size);
int qxctl_get_info_53(QxChannel *ch, void *buf, unsigned capacity, unsigned *size);
int qxctl_get_info_54(QxChannel *ch, void *buf, unsigned capacity, unsigned *size);

int qxctl_set_19(QxChannel *ch, unsigned value);
int qxctl_set_137(QxChannel *ch, unsigned value);
int qxctl_set_23(QxChannel *ch, uint32_t value);
int qxctl_set_25(QxChannel *ch, unsigned value);
int qxctl_trigger_162(QxChannel *ch);

int qxctl_get_24(QxChannel *ch, uint32_t *value);
int qxctl_get_196(QxChannel *ch, uint32_t *value);
int qxctl_get_26(QxChannel *ch, uint32_t *value);
int qxctl_get_27(QxChannel *ch, uint8_t *value);
int qxctl_get_193(QxChannel *ch, uint32_t *value);
int qxctl_get_20(QxChannel *ch, uint8_t *value);

int qxctl_build_addressed(QxMsg *msg, unsigned a, unsigned s, unsigned tag, unsigned v);
int qxctl_set_addressed(QxChannel *ch, unsigned a, unsigned s, unsigned tag, unsigned v);
int qxctl_set_129(QxChannel *ch, unsigned a, unsigned s, unsigned v);
int qxctl_set_130(QxChannel *ch, unsigned a, unsigned s, unsigned v);
int qxctl_set_131(QxChannel *ch, unsigned a, unsigned s, unsigned v);
int qxctl_set_132(QxChannel *ch, unsigned a, unsigned s, unsigned v);
int qxctl_set_133(QxChannel *ch, unsigned a, unsigned s, unsigned v);
typedef int (*QxAddressedCmd)(QxChannel *ch, unsigned a, unsigned s, unsigned v);

int qxctl_build_cmd_67(QxMsg *msg, unsigned a1, unsigned s1, unsigned a2, unsigned s2);
int qxctl_cmd_67(QxChannel *ch, unsigned a1, unsigned s1, unsigned a2, unsigned s2);
int qxctl_build_cmd_85(QxMsg *msg, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                       unsigned d, unsigned e);
int qxctl_cmd_85(QxChannel *ch, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                 unsigned d, unsigned e);
int qxctl_build_cmd_151(QxMsg *msg, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                        unsigned d, unsigned e, unsigned f, unsigned g);
int qxctl_cmd_151(QxChannel *ch, unsigned a, unsigned s, unsigned last, unsigned b, unsigned c,
                  unsigned d, unsigned e, unsigned f, unsigned g);
int qxctl_build_cmd_70(QxMsg *msg, unsigned a1, unsigned s1, unsigned a2, unsigned s2, unsigned x,
                       unsigned y);
int qxctl_build_cmd_213(QxMsg *msg, unsigned p, unsigned q, unsigned r, unsigned t);
int qxctl_build_cmd_76(QxMsg *msg, unsigned p, unsigned q, unsigned r);
int qxctl_build_cmd_72(QxMsg *msg, unsigned q, unsigned p);
int qxctl_build_cmd_139(QxMsg *msg, unsigned a, unsigned s, unsigned x, unsigned y);

int qxctl_build_get_value(QxMsg *msg, unsigned a, unsigned s);
int qxctl_get_value(QxChannel *ch, unsigned a, unsigned s, int16_t *value);
int qxctl_list_113(QxChannel *ch, QxListEntry *entries, unsigned capacity, unsigned *count);
int qxctl_get_blob_28(QxChannel *ch, void *buf, unsigned capacity, unsigned *size);
int qxctl_read_debug_text(QxChannel *ch, char *buf, unsigned capacity, unsigned *size);
int qxctl_read_status(QxChannel *ch, uint32_t *status);
int qxctl_get_version_alt(QxChannel *ch, int16_t *version);
int qxctl_get_build_alt(QxChannel *ch, int16_t *build);

// --- firmware transfer and checksum ---
// Sends the image exactly as given; progress (may be null) follows the
// confirmed byte position.
int qxctl_update_firmware(QxChannel *ch, const uint8_t *image, uint32_t length,
                          QxProgress *progress);
int qxctl_update_firmware_alt(QxChannel *ch, const uint8_t *image, uint32_t length,
                              QxProgress *progress);
int qxctl_get_checksum(QxChannel *ch, uint32_t length, uint32_t *checksum);
int qxctl_get_checksum_alt(QxChannel *ch, uint32_t length, uint32_t *checksum);

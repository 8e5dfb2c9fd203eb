// The device's vocabulary: the request codes of the I/O-control header and
// the one-byte item tags of the messages. Shared by the host side (qxctl)
// and the simulated device, which speaks the same vocabulary from the other
// end of the wire. Plain constants only.
#pragma once

// Request codes (the request byte of the I/O-control header).
enum {
    QXREQ_STATUS = 28,   // read: one raw status byte
    QXREQ_SEND = 29,     // write: one request message
    QXREQ_RECV = 30,     // read: one 64-byte answer
    QXREQ_SEND_ALT = 45, // the alternate pair
    QXREQ_RECV_ALT = 46,
};

// Tags of the channel: debug text and readiness.
enum {
    QXTAG_DEBUG = 18, // blob: device text, printed as it comes
    QXTAG_READY = 161,
};

// Tags of the info query and its answers.
enum {
    QXTAG_INFO = 49,
    QXTAG_VERSION = 50,
    QXTAG_BUILD = 51,
    QXTAG_PRODUCT = 52,
    QXTAG_INFO_53 = 53,
    QXTAG_INFO_54 = 54,
};

// Tags of the single-value setters and getters; a getter's answer carries
// its own tag, except 20, which is answered by 21.
enum {
    QXTAG_SET_19 = 19,
    QXTAG_GET_20 = 20,
    QXTAG_ANSWER_20 = 21,
    QXTAG_SET_23 = 23,
    QXTAG_GET_24 = 24,
    QXTAG_SET_25 = 25,
    QXTAG_GET_26 = 26,
    QXTAG_GET_27 = 27,
    QXTAG_BLOB_28 = 28, // request and its blob answer
    QXTAG_SET_137 = 137,
    QXTAG_TRIGGER_162 = 162,
    QXTAG_GET_193 = 193,
    QXTAG_GET_196 = 196,
};

// Tags of the addressed requests, the list and the addressed read.
enum {
    QXTAG_ADDR = 97,
    QXTAG_SUBADDR = 98,
    QXTAG_LIST = 113,
    QXTAG_LIST_VALUE = 114, // completes a list entry
    QXTAG_SET_129 = 129,    // 129..133: one addressed single-value command each
    QXTAG_SET_130 = 130,
    QXTAG_SET_131 = 131,
    QXTAG_SET_132 = 132,
    QXTAG_SET_133 = 133,
    QXTAG_GET_VALUE = 177,
    QXTAG_VALUE = 178,
};

// Tags of the built commands, each named after its command and the
// argument its item carries.
enum {
    QXTAG_MARK_65 = 65, // after the first address of a two-address request
    QXTAG_MARK_66 = 66, // after the second
    QXTAG_MARK_67 = 67, // closes cmd_67
    QXTAG_CMD70_X = 68,
    QXTAG_CMD70_Y = 69,
    QXTAG_CMD70_END = 70,
    QXTAG_CMD72_P = 71,
    QXTAG_CMD72_Q = 72,
    QXTAG_CMD76_P = 73,
    QXTAG_CMD76_Q = 74,
    QXTAG_CMD76_R = 75,
    QXTAG_CMD76_END = 76,
    QXTAG_CMD85_B = 81,
    QXTAG_CMD85_C = 82,
    QXTAG_CMD85_D = 83,
    QXTAG_CMD85_E = 84,
    QXTAG_CMD85_LAST = 85,
    QXTAG_CMD139_X = 139,
    QXTAG_CMD139_Y = 140,
    QXTAG_CMD151_B = 145,
    QXTAG_CMD151_C = 146,
    QXTAG_CMD151_D = 147,
    QXTAG_CMD151_E = 148,
    QXTAG_CMD151_F = 149,
    QXTAG_CMD151_G = 150,
    QXTAG_CMD151_LAST = 151,
    QXTAG_CMD213_P = 209,
    QXTAG_CMD213_Q = 210,
    QXTAG_CMD213_R = 211,
    QXTAG_CMD213_T = 212,
    QXTAG_CMD213_END = 213,
};

// Tags of the firmware transfer and the checksum query.
enum {
    QXTAG_FWUP_BEGIN = 33,  // U32: the image length
    QXTAG_FWUP_STATUS = 34, // asks for room and offset
    QXTAG_FWUP_ROOM = 35,
    QXTAG_FWUP_OFFSET = 36,
    QXTAG_FWUP_DATA = 37,      // a full chunk
    QXTAG_FWUP_DATA_LAST = 38, // the chunk that closes a burst
    QXTAG_CHECKSUM_QUERY = 39, // U32: the length to sum
    QXTAG_CHECKSUM = 40,
};

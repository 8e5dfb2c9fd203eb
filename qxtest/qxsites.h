// The failure sites of the procedural modules: each prints
// "<source>:<line>:ERROR" with the fixed line number named here. The numbers
// are the device protocol's diagnostic texts and never change; a new failure
// site gets its own name here, beside the others of its operation.
#pragma once

// --- qxmsg: the message codec ---

// qxmsg_put and qxmsg_reserve
enum {
    QXMSG_LINE_PUT_TYPE = 64, // unknown type code
    QXMSG_LINE_PUT_END = 69,  // an end marker with a non-zero tag
    QXMSG_LINE_PUT_U8 = 84,   // no room for the item
    QXMSG_LINE_PUT_U16 = 93,
    QXMSG_LINE_PUT_U32 = 102,
    QXMSG_LINE_PUT_BLOB = 115,
};

// qxmsg_next
enum {
    QXMSG_LINE_NEXT_TYPE = 177, // unknown type code, printed with the code
};

// --- qxctl: the control channel ---

// qxctl_send and qxctl_send_alt
enum {
    QXCTL_LINE_SEND_LONG = 46, // the message is longer than 64 bytes
    QXCTL_LINE_SEND_TRY = 55,  // one write failed
    QXCTL_LINE_SEND_ALL = 62,  // every try failed
    QXCTL_LINE_SEND_ALT_LONG = 102,
    QXCTL_LINE_SEND_ALT_TRY = 111,
    QXCTL_LINE_SEND_ALT_ALL = 118,
};

// qxctl_recv and qxctl_recv_alt
enum {
    QXCTL_LINE_RECV_CAP = 79, // the message holds more than one answer: read 64
    QXCTL_LINE_RECV_READ = 86,
    QXCTL_LINE_RECV_ALT_CAP = 135,
    QXCTL_LINE_RECV_ALT_READ = 142,
};

// qxctl_wait_ready and qxctl_wait_ready_alt
enum {
    QXCTL_LINE_WAIT_READY_RECV = 169, // a read failed; the wait goes on
    QXCTL_LINE_WAIT_READY_ALT_RECV = 216,
};

// --- qxctl: the device commands ---
// One block per command of the common frame, in its order: message set-up,
// request items, end marker, ready wait, send, receive in the answer poll;
// 0 where the command has no such site. QXCTL_FRAME(op) in qxctl_cmd.cpp
// gathers a block by its name.

// qxctl_get_info and its members
enum {
    QXCTL_LINE_INFO_SETUP = 1488,
    QXCTL_LINE_INFO_ITEMS = 1497,
    QXCTL_LINE_INFO_END = 1501,
    QXCTL_LINE_INFO_WAIT = 1505,
    QXCTL_LINE_INFO_SEND = 1509,
    QXCTL_LINE_INFO_RECV = 1516,
    QXCTL_LINE_INFO_TYPE = 1539,  // the awaited item is neither blob nor U16
    QXCTL_LINE_INFO_POLLS = 1552, // the answer poll ran out
};

// qxctl_get_version_alt
enum {
    QXCTL_LINE_VERSION_ALT_SETUP = 1594,
    QXCTL_LINE_VERSION_ALT_ITEMS = 1603,
    QXCTL_LINE_VERSION_ALT_END = 1607,
    QXCTL_LINE_VERSION_ALT_WAIT = 1611,
    QXCTL_LINE_VERSION_ALT_SEND = 1615,
    QXCTL_LINE_VERSION_ALT_RECV = 1622,
    QXCTL_LINE_VERSION_ALT_POLLS = 1646, // the answer poll ran out
};

// qxctl_get_build_alt
enum {
    QXCTL_LINE_BUILD_ALT_SETUP = 1667,
    QXCTL_LINE_BUILD_ALT_ITEMS = 1676,
    QXCTL_LINE_BUILD_ALT_END = 1680,
    QXCTL_LINE_BUILD_ALT_WAIT = 1684,
    QXCTL_LINE_BUILD_ALT_SEND = 1688,
    QXCTL_LINE_BUILD_ALT_RECV = 1695,
    QXCTL_LINE_BUILD_ALT_POLLS = 1719, // the answer poll ran out
};

// qxctl_set_19
enum {
    QXCTL_LINE_SET_19_SETUP = 901,
    QXCTL_LINE_SET_19_ITEMS = 910,
    QXCTL_LINE_SET_19_END = 914,
    QXCTL_LINE_SET_19_WAIT = 918,
    QXCTL_LINE_SET_19_SEND = 922,
    QXCTL_LINE_SET_19_RECV = 0, // none
};

// qxctl_set_137
enum {
    QXCTL_LINE_SET_137_SETUP = 943,
    QXCTL_LINE_SET_137_ITEMS = 952,
    QXCTL_LINE_SET_137_END = 956,
    QXCTL_LINE_SET_137_WAIT = 960,
    QXCTL_LINE_SET_137_SEND = 964,
    QXCTL_LINE_SET_137_RECV = 0, // none
};

// qxctl_set_23
enum {
    QXCTL_LINE_SET_23_SETUP = 985,
    QXCTL_LINE_SET_23_ITEMS = 994,
    QXCTL_LINE_SET_23_END = 998,
    QXCTL_LINE_SET_23_WAIT = 1002,
    QXCTL_LINE_SET_23_SEND = 1006,
    QXCTL_LINE_SET_23_RECV = 0, // none
};

// qxctl_trigger_162
enum {
    QXCTL_LINE_TRIGGER_162_SETUP = 1142,
    QXCTL_LINE_TRIGGER_162_ITEMS = 1151,
    QXCTL_LINE_TRIGGER_162_END = 1155,
    QXCTL_LINE_TRIGGER_162_WAIT = 1159,
    QXCTL_LINE_TRIGGER_162_SEND = 1163,
    QXCTL_LINE_TRIGGER_162_RECV = 0, // none
};

// qxctl_set_25
enum {
    QXCTL_LINE_SET_25_SETUP = 1184,
    QXCTL_LINE_SET_25_ITEMS = 1193,
    QXCTL_LINE_SET_25_END = 1197,
    QXCTL_LINE_SET_25_WAIT = 1201,
    QXCTL_LINE_SET_25_SEND = 1205,
    QXCTL_LINE_SET_25_RECV = 0, // none
};

// qxctl_get_24
enum {
    QXCTL_LINE_GET_24_SETUP = 1026,
    QXCTL_LINE_GET_24_ITEMS = 1035,
    QXCTL_LINE_GET_24_END = 1039,
    QXCTL_LINE_GET_24_WAIT = 1043,
    QXCTL_LINE_GET_24_SEND = 1047,
    QXCTL_LINE_GET_24_RECV = 1053,
};

// qxctl_get_196
enum {
    QXCTL_LINE_GET_196_SETUP = 1085,
    QXCTL_LINE_GET_196_ITEMS = 1094,
    QXCTL_LINE_GET_196_END = 1098,
    QXCTL_LINE_GET_196_WAIT = 1102,
    QXCTL_LINE_GET_196_SEND = 1106,
    QXCTL_LINE_GET_196_RECV = 1112,
};

// qxctl_get_26
enum {
    QXCTL_LINE_GET_26_SETUP = 1225,
    QXCTL_LINE_GET_26_ITEMS = 1234,
    QXCTL_LINE_GET_26_END = 1238,
    QXCTL_LINE_GET_26_WAIT = 1242,
    QXCTL_LINE_GET_26_SEND = 1246,
    QXCTL_LINE_GET_26_RECV = 1252,
};

// qxctl_get_27
enum {
    QXCTL_LINE_GET_27_SETUP = 1284,
    QXCTL_LINE_GET_27_ITEMS = 1293,
    QXCTL_LINE_GET_27_END = 1297,
    QXCTL_LINE_GET_27_WAIT = 1301,
    QXCTL_LINE_GET_27_SEND = 1305,
    QXCTL_LINE_GET_27_RECV = 1311,
};

// qxctl_get_193
enum {
    QXCTL_LINE_GET_193_SETUP = 1344,
    QXCTL_LINE_GET_193_ITEMS = 1353,
    QXCTL_LINE_GET_193_END = 1357,
    QXCTL_LINE_GET_193_WAIT = 1361,
    QXCTL_LINE_GET_193_SEND = 1365,
    QXCTL_LINE_GET_193_RECV = 1371,
};

// qxctl_get_20
enum {
    QXCTL_LINE_GET_20_SETUP = 1417,
    QXCTL_LINE_GET_20_ITEMS = 1426,
    QXCTL_LINE_GET_20_END = 1430,
    QXCTL_LINE_GET_20_WAIT = 1434,
    QXCTL_LINE_GET_20_SEND = 1438,
    QXCTL_LINE_GET_20_RECV = 1444,
};

// qxctl_list_113
enum {
    QXCTL_LINE_LIST_113_SETUP = 1741,
    QXCTL_LINE_LIST_113_ITEMS = 1750,
    QXCTL_LINE_LIST_113_END = 1754,
    QXCTL_LINE_LIST_113_WAIT = 1758,
    QXCTL_LINE_LIST_113_SEND = 1762,
    QXCTL_LINE_LIST_113_RECV = 1774,
    QXCTL_LINE_LIST_113_POLLS = 1801, // no entry completed in a whole poll
};

// qxctl_get_value (items: its builder failed)
enum {
    QXCTL_LINE_GET_VALUE_SETUP = 1878,
    QXCTL_LINE_GET_VALUE_ITEMS = 1883,
    QXCTL_LINE_GET_VALUE_END = 1888,
    QXCTL_LINE_GET_VALUE_WAIT = 1892,
    QXCTL_LINE_GET_VALUE_SEND = 1896,
    QXCTL_LINE_GET_VALUE_RECV = 1902,
};

// qxctl_get_blob_28
enum {
    QXCTL_LINE_BLOB_28_SETUP = 1947,
    QXCTL_LINE_BLOB_28_ITEMS = 1952,
    QXCTL_LINE_BLOB_28_END = 1957,
    QXCTL_LINE_BLOB_28_WAIT = 1961,
    QXCTL_LINE_BLOB_28_SEND = 1965,
    QXCTL_LINE_BLOB_28_RECV = 1971,
    QXCTL_LINE_BLOB_28_TYPE = 1981, // a tag-28 item that is no blob
};

// qxctl_cmd_67 (items: its builder failed)
enum {
    QXCTL_LINE_CMD_67_SETUP = 2096,
    QXCTL_LINE_CMD_67_ITEMS = 2101,
    QXCTL_LINE_CMD_67_END = 2107,
    QXCTL_LINE_CMD_67_WAIT = 2111,
    QXCTL_LINE_CMD_67_SEND = 2115,
    QXCTL_LINE_CMD_67_RECV = 0, // none
};

// qxctl_cmd_85 (items: its builder failed)
enum {
    QXCTL_LINE_CMD_85_SETUP = 2322,
    QXCTL_LINE_CMD_85_ITEMS = 2327,
    QXCTL_LINE_CMD_85_END = 2332,
    QXCTL_LINE_CMD_85_WAIT = 2336,
    QXCTL_LINE_CMD_85_SEND = 2340,
    QXCTL_LINE_CMD_85_RECV = 0, // none
};

// qxctl_cmd_151 (items: its builder failed)
enum {
    QXCTL_LINE_CMD_151_SETUP = 2462,
    QXCTL_LINE_CMD_151_ITEMS = 2466,
    QXCTL_LINE_CMD_151_END = 2470,
    QXCTL_LINE_CMD_151_WAIT = 2474,
    QXCTL_LINE_CMD_151_SEND = 2478,
    QXCTL_LINE_CMD_151_RECV = 0, // none
};

// qxctl_set_addressed and qxctl_set_129..133 (the builder prints its own line)
enum {
    QXCTL_LINE_SET_ADDRESSED_SETUP = 2784,
    QXCTL_LINE_SET_ADDRESSED_ITEMS = 0, // none
    QXCTL_LINE_SET_ADDRESSED_END = 2794,
    QXCTL_LINE_SET_ADDRESSED_WAIT = 2798,
    QXCTL_LINE_SET_ADDRESSED_SEND = 2802,
    QXCTL_LINE_SET_ADDRESSED_RECV = 0, // none
};

// qxctl_read_debug_text and qxctl_read_status
enum {
    QXCTL_LINE_DEBUG_TEXT_SETUP = 852, // cannot fail with a buffer of its own
    QXCTL_LINE_DEBUG_TEXT_RECV = 856,
    QXCTL_LINE_READ_STATUS_RECV = 2613,
};

// The builders: one line per item, in item order.

// qxctl_build_get_value, one line per item in item order
enum {
    QXCTL_LINE_BUILD_GET_VALUE_A = 1832,
    QXCTL_LINE_BUILD_GET_VALUE_S = 1841,
    QXCTL_LINE_BUILD_GET_VALUE_GET = 1850,
};

// qxctl_build_cmd_67, one line per item in item order
enum {
    QXCTL_LINE_BUILD_CMD_67_A1 = 2019,
    QXCTL_LINE_BUILD_CMD_67_S1 = 2028,
    QXCTL_LINE_BUILD_CMD_67_MARK_65 = 2037,
    QXCTL_LINE_BUILD_CMD_67_A2 = 2047,
    QXCTL_LINE_BUILD_CMD_67_S2 = 2056,
    QXCTL_LINE_BUILD_CMD_67_MARK_66 = 2065,
    QXCTL_LINE_BUILD_CMD_67_MARK_67 = 2074,
};

// qxctl_build_cmd_70, one line per item in item order
enum {
    QXCTL_LINE_BUILD_CMD_70_A1 = 2142,
    QXCTL_LINE_BUILD_CMD_70_S1 = 2151,
    QXCTL_LINE_BUILD_CMD_70_MARK_65 = 2160,
    QXCTL_LINE_BUILD_CMD_70_A2 = 2170,
    QXCTL_LINE_BUILD_CMD_70_S2 = 2179,
    QXCTL_LINE_BUILD_CMD_70_MARK_66 = 2188,
    QXCTL_LINE_BUILD_CMD_70_X = 2197,
    QXCTL_LINE_BUILD_CMD_70_Y = 2206,
    QXCTL_LINE_BUILD_CMD_70_END = 2215,
};

// qxctl_build_cmd_85, one line per item in item order
enum {
    QXCTL_LINE_BUILD_CMD_85_A = 2246,
    QXCTL_LINE_BUILD_CMD_85_S = 2255,
    QXCTL_LINE_BUILD_CMD_85_B = 2264,
    QXCTL_LINE_BUILD_CMD_85_C = 2273,
    QXCTL_LINE_BUILD_CMD_85_D = 2282,
    QXCTL_LINE_BUILD_CMD_85_E = 2291,
    QXCTL_LINE_BUILD_CMD_85_LAST = 2300,
};

// qxctl_build_cmd_151, one line per item in item order
enum {
    QXCTL_LINE_BUILD_CMD_151_A = 2367,
    QXCTL_LINE_BUILD_CMD_151_S = 2376,
    QXCTL_LINE_BUILD_CMD_151_B = 2385,
    QXCTL_LINE_BUILD_CMD_151_C = 2394,
    QXCTL_LINE_BUILD_CMD_151_D = 2403,
    QXCTL_LINE_BUILD_CMD_151_E = 2412,
    QXCTL_LINE_BUILD_CMD_151_F = 2421,
    QXCTL_LINE_BUILD_CMD_151_G = 2430,
    QXCTL_LINE_BUILD_CMD_151_LAST = 2439,
};

// qxctl_build_cmd_213, one line per item in item order
enum {
    QXCTL_LINE_BUILD_CMD_213_P = 2505,
    QXCTL_LINE_BUILD_CMD_213_Q = 2514,
    QXCTL_LINE_BUILD_CMD_213_R = 2522,
    QXCTL_LINE_BUILD_CMD_213_T = 2530,
    QXCTL_LINE_BUILD_CMD_213_END = 2538,
};

// qxctl_build_cmd_76, one line per item in item order
enum {
    QXCTL_LINE_BUILD_CMD_76_P = 2569,
    QXCTL_LINE_BUILD_CMD_76_Q = 2578,
    QXCTL_LINE_BUILD_CMD_76_R = 2586,
    QXCTL_LINE_BUILD_CMD_76_END = 2594,
};

// qxctl_build_cmd_72, one line per item in item order
enum {
    QXCTL_LINE_BUILD_CMD_72_P = 2642,
    QXCTL_LINE_BUILD_CMD_72_Q = 2650,
};

// qxctl_build_cmd_139, one line per item in item order
enum {
    QXCTL_LINE_BUILD_CMD_139_A = 2682,
    QXCTL_LINE_BUILD_CMD_139_S = 2691,
    QXCTL_LINE_BUILD_CMD_139_Y = 2700,
    QXCTL_LINE_BUILD_CMD_139_X = 2709,
};

// qxctl_build_addressed, one line per item in item order
enum {
    QXCTL_LINE_BUILD_ADDRESSED_A = 2743,
    QXCTL_LINE_BUILD_ADDRESSED_S = 2752,
    QXCTL_LINE_BUILD_ADDRESSED_V = 2761,
};

// --- qxctl: the firmware transfer and the checksum query ---
// Main pair first, then the alternate pair. Each request has four sites:
// item, end marker, ready wait, send.

// qxctl_update_firmware
enum {
    QXCTL_LINE_FWUP_PREPARE = 257, // message set-up, or no image
    QXCTL_LINE_FWUP_BEGIN_ITEM = 268,
    QXCTL_LINE_FWUP_BEGIN_END = 272,
    QXCTL_LINE_FWUP_BEGIN_WAIT = 276,
    QXCTL_LINE_FWUP_BEGIN_SEND = 280,
    QXCTL_LINE_FWUP_POS = 287, // not a failure: "287:pos = ..." before each status query
    QXCTL_LINE_FWUP_STATUS_ITEM = 293,
    QXCTL_LINE_FWUP_STATUS_END = 297,
    QXCTL_LINE_FWUP_STATUS_WAIT = 301,
    QXCTL_LINE_FWUP_STATUS_SEND = 305,
    QXCTL_LINE_FWUP_STATUS_RECV = 317,
    QXCTL_LINE_FWUP_STATUS_POLL = 346,  // not a failure: "wait:346" per empty status poll
    QXCTL_LINE_FWUP_STATUS_POLLS = 350, // room and offset never both came
    QXCTL_LINE_FWUP_NO_ROOM = 356,      // "timeout line:" after QXCTL_LINE_FWUP_RETRIES
    QXCTL_LINE_FWUP_BAD_OFFSET = 358,   // likewise
    QXCTL_LINE_FWUP_RETRIES = 366,      // no room or another offset, too often in a row
    QXCTL_LINE_FWUP_CHUNK_ITEM = 393,
    QXCTL_LINE_FWUP_CHUNK_END = 399,
    QXCTL_LINE_FWUP_CHUNK_WAIT = 403,
    QXCTL_LINE_FWUP_CHUNK_SEND = 407,
    QXCTL_LINE_FWUP_POS_END = 418, // not a failure: "418:pos = ..." when the image is sent
    QXCTL_LINE_FWUP_FINISH_ITEM = 424,
    QXCTL_LINE_FWUP_FINISH_END = 428,
    QXCTL_LINE_FWUP_FINISH_WAIT = 432,
    QXCTL_LINE_FWUP_FINISH_SEND = 436,
    QXCTL_LINE_FWUP_FINISH_RECV = 443,
    QXCTL_LINE_FWUP_FINISH_CYCLES = 485, // the device never confirmed the end
};

// qxctl_update_firmware_alt
enum {
    QXCTL_LINE_FWUP_ALT_PREPARE = 512,
    QXCTL_LINE_FWUP_ALT_BEGIN_ITEM = 523,
    QXCTL_LINE_FWUP_ALT_BEGIN_END = 527,
    QXCTL_LINE_FWUP_ALT_BEGIN_WAIT = 531,
    QXCTL_LINE_FWUP_ALT_BEGIN_SEND = 535,
    QXCTL_LINE_FWUP_ALT_STATUS_ITEM = 548,
    QXCTL_LINE_FWUP_ALT_STATUS_END = 552,
    QXCTL_LINE_FWUP_ALT_STATUS_WAIT = 556,
    QXCTL_LINE_FWUP_ALT_STATUS_SEND = 560,
    QXCTL_LINE_FWUP_ALT_STATUS_RECV = 572,
    QXCTL_LINE_FWUP_ALT_STATUS_POLLS = 604,
    QXCTL_LINE_FWUP_ALT_NO_ROOM = 610,
    QXCTL_LINE_FWUP_ALT_BAD_OFFSET = 612,
    QXCTL_LINE_FWUP_ALT_RETRIES = 620,
    QXCTL_LINE_FWUP_ALT_CHUNK_ITEM = 646,
    QXCTL_LINE_FWUP_ALT_CHUNK_END = 652,
    QXCTL_LINE_FWUP_ALT_CHUNK_WAIT = 656,
    QXCTL_LINE_FWUP_ALT_CHUNK_SEND = 660,
    QXCTL_LINE_FWUP_ALT_FINISH_ITEM = 676,
    QXCTL_LINE_FWUP_ALT_FINISH_END = 680,
    QXCTL_LINE_FWUP_ALT_FINISH_WAIT = 684,
    QXCTL_LINE_FWUP_ALT_FINISH_SEND = 688,
    QXCTL_LINE_FWUP_ALT_FINISH_RECV = 694,
    QXCTL_LINE_FWUP_ALT_FINISH_CYCLES = 706, // the device never confirmed: not a success
};

// qxctl_get_checksum and qxctl_get_checksum_alt; a poll that runs out
// prints nothing: the caller reports the silent device.
enum {
    QXCTL_LINE_CHECKSUM_PREPARE = 735,
    QXCTL_LINE_CHECKSUM_ITEM = 743,
    QXCTL_LINE_CHECKSUM_END = 747,
    QXCTL_LINE_CHECKSUM_WAIT = 751,
    QXCTL_LINE_CHECKSUM_SEND = 755,
    QXCTL_LINE_CHECKSUM_RECV = 765,
    QXCTL_LINE_CHECKSUM_ALT_PREPARE = 794,
    QXCTL_LINE_CHECKSUM_ALT_ITEM = 802,
    QXCTL_LINE_CHECKSUM_ALT_END = 806,
    QXCTL_LINE_CHECKSUM_ALT_WAIT = 810,
    QXCTL_LINE_CHECKSUM_ALT_SEND = 814,
    QXCTL_LINE_CHECKSUM_ALT_RECV = 824,
};

// --- usbdevs: device access ---

// usbdevs_write, usbdevs_read and the call beneath them
enum {
    USBDEVS_LINE_CALL = 222,   // the I/O-control call failed
    USBDEVS_LINE_LENGTH = 228, // the answer is not exactly the size asked for
    USBDEVS_LINE_WRITE_EMPTY = 243,
    USBDEVS_LINE_WRITE_DATA = 244, // nothing to write from
    USBDEVS_LINE_WRITE_OPEN = 247, // the control interface could not be opened
    USBDEVS_LINE_WRITE_NOMEM = 258,
    USBDEVS_LINE_LAST_ERROR = 35, // heads the report of the system's last error
};

// Discovery on Windows: "ERROR : <step>" at each step that fails.
enum {
    USBDEVS_STEP_DEVICE_SET = 72,
    USBDEVS_STEP_SERVICE_NAME = 93,
    USBDEVS_STEP_DETAIL_SIZE = 128,
    USBDEVS_STEP_DETAIL_ALLOC = 134,
    USBDEVS_STEP_DETAIL = 146,
    USBDEVS_STEP_OPEN = 199,
};

// --- prgdecode: the firmware image ---

// prg_read_file
enum {
    PRG_LINE_READ_OPEN = 23,
    PRG_LINE_READ_SEEK_END = 28, // also: an end beyond a 32-bit length
    PRG_LINE_READ_EMPTY = 33,
    PRG_LINE_READ_SEEK_SET = 37,
    PRG_LINE_READ_NOMEM = 43,
    PRG_LINE_READ_DATA = 47,
};

// prg_read_header and prg_get_product
enum {
    PRG_LINE_HEADER_OPEN = 73,
    PRG_LINE_HEADER_READ = 77,
    PRG_LINE_PRODUCT_CAPACITY = 99,
};

// prg_verify and prg_verify_file
enum {
    PRG_LINE_VERIFY_ARGS = 151,
    PRG_LINE_VERIFY_NO_SIZE = 157,    // the size field is 0
    PRG_LINE_VERIFY_TRUNCATED = 161,  // shorter than its size field
    PRG_LINE_VERIFY_SHORT = 167,      // shorter than header and trailer
    PRG_LINE_VERIFY_SMALL_SIZE = 170, // a size field below header and trailer
    PRG_LINE_VERIFY_NOMEM = 176,
    PRG_LINE_VERIFY_CHECKSUM = 191, // the body's sum is not the header's
    PRG_LINE_VERIFY_TRAILER = 199,  // the trailer is not the body's sum
    PRG_LINE_VERIFY_FILE_READ = 220,
};

// prg_extract and prg_dump
enum {
    PRG_LINE_EXTRACT_READ = 246,
    PRG_LINE_EXTRACT_BODY = 261, // no body, or no memory for it
    PRG_LINE_EXTRACT_OPEN = 268,
    PRG_LINE_EXTRACT_WRITE = 272,
    PRG_LINE_DUMP_HEADER = 293,
    PRG_LINE_DUMP_VERIFY = 312,
};

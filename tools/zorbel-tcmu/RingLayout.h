/* Where the fields of the kernel's command ring lie, in bytes from the start
 * of the mailbox or of an entry. Declared once here; RingLayout.c checks every
 * value against the kernel's own header (which only a C compiler reads). */
#ifndef ZORBEL_TCMU_RING_LAYOUT_H
#define ZORBEL_TCMU_RING_LAYOUT_H

enum {
    RING_MAILBOX_FLAGS = 2,
    RING_MAILBOX_RING_OFFSET = 4,
    RING_MAILBOX_RING_SIZE = 8,
    RING_MAILBOX_HEAD = 12,
    RING_MAILBOX_TAIL = 64,
    RING_MAILBOX_SIZE = 68,                /* the fields up to the tail */
    RING_MAILBOX_CAN_READ_LENGTH = 1 << 1, /* in the flags */

    RING_ENTRY_LENGTH_AND_OP = 0, /* length in all but the low three bits */
    RING_ENTRY_OP_MASK = 7,
    RING_ENTRY_HEADER_SIZE = 8,
    RING_ENTRY_USER_FLAGS = 7,
    RING_ENTRY_BUFFER_COUNT = 8,
    RING_ENTRY_CDB_OFFSET = 24,
    RING_ENTRY_BUFFERS = 48,
    RING_ENTRY_BUFFER_SIZE = 16, /* offset in the region, length */
    RING_ENTRY_STATUS = 8,
    RING_ENTRY_READ_LENGTH = 12,
    RING_ENTRY_SENSE = 16,
    RING_ENTRY_SENSE_SIZE = 96,

    RING_OP_PAD = 0,
    RING_OP_CMD = 1,
    RING_FLAG_UNKNOWN_OP = 0x1,
    RING_FLAG_READ_LENGTH = 0x2
};

#endif

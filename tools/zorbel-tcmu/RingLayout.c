/* The ring layout of RingLayout.h, checked against the kernel's header. */
#include <stddef.h>
#include <linux/target_core_user.h>

#include "RingLayout.h"

_Static_assert(offsetof(struct tcmu_mailbox, flags) == RING_MAILBOX_FLAGS, "flags");
_Static_assert(offsetof(struct tcmu_mailbox, cmdr_off) == RING_MAILBOX_RING_OFFSET, "cmdr_off");
_Static_assert(offsetof(struct tcmu_mailbox, cmdr_size) == RING_MAILBOX_RING_SIZE, "cmdr_size");
_Static_assert(offsetof(struct tcmu_mailbox, cmd_head) == RING_MAILBOX_HEAD, "cmd_head");
_Static_assert(offsetof(struct tcmu_mailbox, cmd_tail) == RING_MAILBOX_TAIL, "cmd_tail");
_Static_assert(sizeof(struct tcmu_mailbox) >= RING_MAILBOX_SIZE, "mailbox size");
_Static_assert(TCMU_MAILBOX_FLAG_CAP_READ_LEN == RING_MAILBOX_CAN_READ_LENGTH, "read length");
_Static_assert(offsetof(struct tcmu_cmd_entry, hdr.len_op) == RING_ENTRY_LENGTH_AND_OP, "len_op");
_Static_assert(TCMU_OP_MASK == RING_ENTRY_OP_MASK, "op mask");
_Static_assert(sizeof(struct tcmu_cmd_entry_hdr) == RING_ENTRY_HEADER_SIZE, "header");
_Static_assert(offsetof(struct tcmu_cmd_entry, hdr.uflags) == RING_ENTRY_USER_FLAGS, "uflags");
_Static_assert(offsetof(struct tcmu_cmd_entry, req.iov_cnt) == RING_ENTRY_BUFFER_COUNT, "iov_cnt");
_Static_assert(offsetof(struct tcmu_cmd_entry, req.cdb_off) == RING_ENTRY_CDB_OFFSET, "cdb_off");
_Static_assert(offsetof(struct tcmu_cmd_entry, req.iov) == RING_ENTRY_BUFFERS, "iov");
_Static_assert(sizeof(struct iovec) == RING_ENTRY_BUFFER_SIZE, "iovec");
_Static_assert(offsetof(struct tcmu_cmd_entry, rsp.scsi_status) == RING_ENTRY_STATUS, "status");
_Static_assert(offsetof(struct tcmu_cmd_entry, rsp.read_len) == RING_ENTRY_READ_LENGTH, "read_len");
_Static_assert(offsetof(struct tcmu_cmd_entry, rsp.sense_buffer) == RING_ENTRY_SENSE, "sense");
_Static_assert(TCMU_SENSE_BUFFERSIZE == RING_ENTRY_SENSE_SIZE, "sense size");
_Static_assert((int)TCMU_OP_PAD == (int)RING_OP_PAD && (int)TCMU_OP_CMD == (int)RING_OP_CMD, "ops");
_Static_assert(TCMU_UFLAG_UNKNOWN_OP == RING_FLAG_UNKNOWN_OP, "unknown op");
_Static_assert(TCMU_UFLAG_READ_LEN == RING_FLAG_READ_LENGTH, "read length flag");

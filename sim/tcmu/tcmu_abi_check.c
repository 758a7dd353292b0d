/* Compile-time check that tcmu_abi.h matches the kernel's ring layout. */
#include <linux/target_core_user.h>
#include <stddef.h>

#include "sim/tcmu/tcmu_abi.h"

#define SAME(ours, theirs) _Static_assert((ours) == (theirs), #ours " differs from the kernel's " #theirs)

SAME(ODF_TCMU_MAILBOX_VERSION, TCMU_MAILBOX_VERSION);
SAME(ODF_TCMU_FLAG_CAP_READ_LEN, TCMU_MAILBOX_FLAG_CAP_READ_LEN);
SAME(ODF_TCMU_OP_MASK, TCMU_OP_MASK);
SAME(ODF_TCMU_OP_PAD, TCMU_OP_PAD);
SAME(ODF_TCMU_OP_CMD, TCMU_OP_CMD);
SAME(ODF_TCMU_UFLAG_READ_LEN, TCMU_UFLAG_READ_LEN);
SAME(ODF_TCMU_SENSE_BUFFERSIZE, TCMU_SENSE_BUFFERSIZE);

SAME(offsetof(struct odf_tcmu_mailbox, version), offsetof(struct tcmu_mailbox, version));
SAME(offsetof(struct odf_tcmu_mailbox, flags), offsetof(struct tcmu_mailbox, flags));
SAME(offsetof(struct odf_tcmu_mailbox, cmdr_off), offsetof(struct tcmu_mailbox, cmdr_off));
SAME(offsetof(struct odf_tcmu_mailbox, cmdr_size), offsetof(struct tcmu_mailbox, cmdr_size));
SAME(offsetof(struct odf_tcmu_mailbox, cmd_head), offsetof(struct tcmu_mailbox, cmd_head));
SAME(offsetof(struct odf_tcmu_mailbox, cmd_tail), offsetof(struct tcmu_mailbox, cmd_tail));

SAME(sizeof(struct odf_tcmu_entry_header), sizeof(struct tcmu_cmd_entry_hdr));
SAME(offsetof(struct odf_tcmu_entry_header, len_op), offsetof(struct tcmu_cmd_entry_hdr, len_op));
SAME(offsetof(struct odf_tcmu_entry_header, uflags), offsetof(struct tcmu_cmd_entry_hdr, uflags));
SAME(ODF_TCMU_BODY_OFFSET, offsetof(struct tcmu_cmd_entry, req));
SAME(ODF_TCMU_BODY_OFFSET, offsetof(struct tcmu_cmd_entry, rsp));
SAME(ODF_TCMU_BODY_OFFSET + offsetof(struct odf_tcmu_request, iov_cnt), offsetof(struct tcmu_cmd_entry, req.iov_cnt));
SAME(ODF_TCMU_BODY_OFFSET + offsetof(struct odf_tcmu_request, cdb_off), offsetof(struct tcmu_cmd_entry, req.cdb_off));
SAME(ODF_TCMU_SEGMENTS_OFFSET, offsetof(struct tcmu_cmd_entry, req.iov));
SAME(sizeof(struct odf_tcmu_segment), sizeof(struct iovec));
SAME(offsetof(struct odf_tcmu_segment, length), offsetof(struct iovec, iov_len));
SAME(ODF_TCMU_BODY_OFFSET + offsetof(struct odf_tcmu_response, scsi_status), offsetof(struct tcmu_cmd_entry, rsp.scsi_status));
SAME(ODF_TCMU_BODY_OFFSET + offsetof(struct odf_tcmu_response, read_len), offsetof(struct tcmu_cmd_entry, rsp.read_len));
SAME(ODF_TCMU_BODY_OFFSET + offsetof(struct odf_tcmu_response, sense_buffer), offsetof(struct tcmu_cmd_entry, rsp.sense_buffer));
SAME(ODF_TCMU_BODY_OFFSET + sizeof(struct odf_tcmu_response), sizeof(struct tcmu_cmd_entry));

/* Keeps the translation unit from being empty. */
int odf_tcmu_abi_checked(void) { return 1; }

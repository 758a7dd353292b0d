/* The target_core_user ring as the kernel lays it out (mailbox, command
 * entries, response), written out here because the kernel's own header
 * <linux/target_core_user.h> does not compile as C++ (its inline helpers
 * return integers as enums). tcmu_abi_check.c, plain C, includes both and
 * checks every size and offset against the kernel's at compile time. Plain
 * C, so that check can include it too. */
#ifndef ODFLSH_SIM_TCMU_TCMU_ABI_H
#define ODFLSH_SIM_TCMU_TCMU_ABI_H

#include <stdint.h>

#define ODF_TCMU_MAILBOX_VERSION 2
#define ODF_TCMU_FLAG_CAP_READ_LEN (1 << 1) /* the kernel reads rsp.read_len */
#define ODF_TCMU_OP_MASK 0x7
#define ODF_TCMU_OP_PAD 0
#define ODF_TCMU_OP_CMD 1
#define ODF_TCMU_UFLAG_READ_LEN 0x2
#define ODF_TCMU_SENSE_BUFFERSIZE 96

struct odf_tcmu_mailbox {
  uint16_t version;
  uint16_t flags;
  uint32_t cmdr_off;
  uint32_t cmdr_size;
  uint32_t cmd_head;
  /* written by user space, on a cache line of its own */
  uint8_t pad_to_tail[64 - 16];
  uint32_t cmd_tail;
};

struct odf_tcmu_entry_header {
  uint32_t len_op; /* entry length (8-byte aligned) | opcode in the low 3 bits */
  uint16_t cmd_id;
  uint8_t kflags;
  uint8_t uflags;
};

/* An iovec as the ring holds it: a base that is an offset into the mapping. */
struct odf_tcmu_segment {
  uint64_t base;
  uint64_t length;
};

/* The request and the response share the bytes after the header. */
struct odf_tcmu_request {
  uint32_t iov_cnt;
  uint32_t iov_bidi_cnt;
  uint32_t iov_dif_cnt;
  uint32_t align; /* the kernel's struct is not packed: cdb_off is 8-byte aligned */
  uint64_t cdb_off;
  uint64_t pad1;
  uint64_t pad2;
  /* struct odf_tcmu_segment iov[iov_cnt] follows */
};

struct odf_tcmu_response {
  uint8_t scsi_status;
  uint8_t pad1;
  uint16_t pad2;
  uint32_t read_len;
  uint8_t sense_buffer[ODF_TCMU_SENSE_BUFFERSIZE];
} __attribute__((packed));

#define ODF_TCMU_BODY_OFFSET 8 /* sizeof(struct odf_tcmu_entry_header) */
#define ODF_TCMU_SEGMENTS_OFFSET (ODF_TCMU_BODY_OFFSET + 40)

#endif

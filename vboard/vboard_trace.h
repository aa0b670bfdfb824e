#pragma once
/*
 * The virtual board's trace of accesses, as a test reads it back: the
 * events in memory, their fields and their one-line form (the trace file
 * format of docs/board-reference.md). Included by vboard.h, the header
 * programs include; it compiles on its own, as C or C++. Error convention
 * as in vboard.h.
 */
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of transferred data each trace event keeps (longer transfers are cut). */
#define VBOARD_TRACE_DATA 32
/* Bytes of the file name each trace event keeps, terminator included. */
#define VBOARD_TRACE_FILE 64

enum vboard_op {
  VBOARD_OP_OPEN = 0,
  VBOARD_OP_READ = 1,
  VBOARD_OP_WRITE = 2,
  VBOARD_OP_CLOSE = 3,
  VBOARD_OP_IOCTL = 4,
  VBOARD_OP_SEEK = 5,
  /* Not an access: the strict profile telling what the target would get
   * wrong (file names the device or "mcp3008", data holds the reason). */
  VBOARD_OP_NOTE = 6
};

/* One access to a virtual file or device. */
struct vboard_event {
  uint64_t seq;                 /* 0, 1, 2 ... in the order of the accesses */
  uint64_t time_ns;             /* board time: ns since the board powered on */
  int op;                       /* enum vboard_op */
  int pid;                      /* process that made the access */
  char file[VBOARD_TRACE_FILE]; /* path as opened, cut to fit */
  unsigned long request;        /* ioctl request; open flags for OPEN; 0 otherwise */
  uint64_t bytes;               /* bytes asked for (read/write), or message bytes (ioctl) */
  int64_t result;               /* what the call returned */
  int err;                      /* errno set by the call, 0 when it succeeded */
  uint32_t data_len;            /* bytes kept in data */
  unsigned char data[VBOARD_TRACE_DATA]; /* bytes written, or bytes read back */
};

/* Number of events in the in-memory trace. */
size_t vboard_trace_count(void);
/* Copies event `index` into *event. Returns 0, or -1 (EINVAL) past the end. */
int vboard_trace_get(size_t index, struct vboard_event *event);
/* Events the in-memory trace dropped because it was full. */
size_t vboard_trace_dropped(void);
/* Empties the in-memory trace (the numbering goes on). */
void vboard_trace_clear(void);
/* Writes the in-memory trace to `path` in the trace file format. */
int vboard_trace_write(const char *path);
/* Formats one event as one trace line (with newline) into buf. Returns the
 * length the full line needs, like snprintf. */
int vboard_trace_format(const struct vboard_event *event, char *buf, size_t size);
/* Name of an operation as the trace file spells it ("open", "read" ...). */
const char *vboard_op_name(int op);

#ifdef __cplusplus
}
#endif

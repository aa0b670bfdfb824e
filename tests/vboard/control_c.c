/* The control interface from plain C99: the header compiles as C and the
 * calls link with C linkage. */
#include <errno.h>
#include <stddef.h>

#include "control_c.h"
#include "vboard.h"

int vboard_test_c_roundtrip(int code) {
  struct vboard_event event;
  if (vboard_set_code(6, code) != 0) return -1;
  if (vboard_trace_get((size_t)-1, &event) != -1 || errno != EINVAL) return -1;
  return vboard_channel_code(6);
}

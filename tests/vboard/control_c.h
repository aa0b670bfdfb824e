#pragma once
/* What control_c.c, built as C99, gives board_test.cpp to call: the
 * control interface used from C and checked there. */
#ifdef __cplusplus
extern "C" {
#endif

/* Sets channel 6 to `code`, returns what the chip would convert (or -1). */
int vboard_test_c_roundtrip(int code);

#ifdef __cplusplus
}
#endif

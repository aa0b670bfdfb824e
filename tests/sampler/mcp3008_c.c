/* The conversion header compiled as strict C99, called from the C++ test. */
#include "mcp3008.h"

int convert_from_c(int inputnum);

int convert_from_c(int inputnum) { return mcp3008_value(inputnum, 4, 27, 5, 17); }

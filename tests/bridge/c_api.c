/* Compiled as C99: a plain C program must reach every exported name, and
 * see the same table record layout as the C++ runtime. */
#include <bridge.h>
#include <stddef.h>

struct bridge_api {
  int (*entry_main)(int, char **);
  int (*entry_argv)(char **, char **);
  int (*entry_string)(char *);
  mlapi_packet (*answer)(MLINK);
  int (*do_call)(MLINK);
  int (*do_call_table)(MLINK, const struct func *, int);
  int (*evaluate)(MLINK, char *);
  int (*evaluate_string)(MLINK, char *);
  int (*install)(MLINK);
  void (*handler)(MLINK, int, int);
};

int bridge_c_api_complete(void) {
  const struct bridge_api api = {MLMain,         MLMainArgv,      MLMainString, MLAnswer,
                                 MLDoCallPacket, _MLDoCallPacket, MLEvaluate,   MLEvaluateString,
                                 MLInstall,      MLDefaultHandler};
  const int state_zero = MLAbort == 0 && MLDone == 0 && MLSpecialCharacter == 0 &&
                         stdlink == NULL && stdenv == NULL && stdyielder == NULL &&
                         stdhandler == NULL;
  return api.entry_main && api.entry_argv && api.entry_string && api.answer && api.do_call &&
         api.do_call_table && api.evaluate && api.evaluate_string && api.install && api.handler &&
         state_zero;
}

size_t bridge_c_func_size(void) { return sizeof(func); }
size_t bridge_c_func_name_offset(void) { return offsetof(struct func, f_name); }

// The serving run, packet answering and call dispatch, and the module
// state shared by both bridge libraries.

#include <array>
#include <cstdint>

#include "bridge.h"
#include "internal.h"

using bridge_internal::load_flag;
using bridge_internal::store_flag;

static_assert(RETURNPKT == 3 && CALLPKT == 7 && SUSPENDPKT == 17 && RESUMEPKT == 18);
static_assert(MLTerminateMessage == 1 && MLInterruptMessage == 2 && MLAbortMessage == 3);
static_assert(MLWAITSUCCESS == 1);

extern "C" {
int MLAbort = 0;
int MLDone = 0;
long MLSpecialCharacter = 0;
MLINK stdlink = nullptr;
MLEnvironment stdenv = nullptr;
MLYieldFunctionObject stdyielder = nullptr;
MLMessageHandlerObject stdhandler = nullptr;
}

namespace {

constexpr int kMaxArgs = 128;
// MLMainArgv's copy of the argument pointers; the strings stay the
// caller's.  Static, because the serving run allocates nothing.
char *far_argv[kMaxArgs];

// Entry points' result for a range they will not serve.
constexpr int kRefused = -1;

// The answer to a resume packet: tell the kernel, in its own words, that
// this program is no front end, while putting its parent link back.
enum class put { function, symbol, string, transfer, end };
struct write_step {
  put kind;
  const char *text;
  int count;
};
constexpr std::array<write_step, 17> kRefusal{{
    {put::function, "EvaluatePacket", 1},
    {put::function, "Module", 2},
    {put::function, "List", 1},
    {put::function, "Set", 2},
    {put::symbol, "me", 0},
    {put::symbol, "$ParentLink", 0},
    {put::function, "CompoundExpression", 3},
    {put::function, "Set", 2},
    {put::symbol, "$ParentLink", 0},
    {put::transfer, nullptr, 0},  // the resume packet's own contents
    {put::function, "Message", 2},
    {put::function, "MessageName", 2},
    {put::symbol, "$ParentLink", 0},
    {put::string, "notfe", 0},
    {put::symbol, "me", 0},
    {put::symbol, "me", 0},
    {put::end, nullptr, 0},
}};

int refuse_to_be_a_frontend(MLINK mlp) {
  // Single writes are not checked: a broken link shows in MLError below.
  for (const write_step &step : kRefusal) {
    switch (step.kind) {
      case put::function:
        (void)MLPutFunction(mlp, step.text, step.count);
        break;
      case put::symbol:
        (void)MLPutSymbol(mlp, step.text);
        break;
      case put::string:
        (void)MLPutString(mlp, step.text);
        break;
      case put::transfer:
        (void)MLTransferExpression(mlp, mlp);
        break;
      case put::end:
        (void)MLEndPacket(mlp);
        break;
    }
  }
  for (;;) {
    const int pkt = MLNextPacket(mlp);
    if (pkt == 0 || pkt == SUSPENDPKT) break;
    (void)MLNewPacket(mlp);
  }
  (void)MLNewPacket(mlp);
  return MLError(mlp) == MLEOK ? 1 : 0;
}

int served_result() { return load_flag(MLDone) == 0 ? 1 : 0; }

int _MLMain(char **argv, char **argv_end, char *commandline) {
  if (stdenv == nullptr) stdenv = MLInitialize(nullptr);
  if (stdenv == nullptr) return served_result();
  if (stdhandler == nullptr) stdhandler = MLDefaultHandler;

  int err = MLEOK;
  MLINK mlp = nullptr;
  if (commandline != nullptr) {
    mlp = MLOpenString(stdenv, commandline, &err);
  } else {
    mlp = MLOpenArgcArgv(stdenv, static_cast<int>(argv_end - argv), argv, &err);
  }

  if (mlp == nullptr) {
    (void)MLAlert(stdenv, MLErrorString(stdenv, err));
  } else {
    if (stdyielder != nullptr) (void)MLSetYieldFunction(mlp, stdyielder);
    if (stdhandler != nullptr) (void)MLSetMessageHandler(mlp, stdhandler);
    if (MLInstall(mlp)) {
      while (MLAnswer(mlp) == RESUMEPKT && refuse_to_be_a_frontend(mlp)) {
      }
    }
    MLClose(mlp);
  }

  MLDeinitialize(stdenv);
  stdenv = nullptr;
  return served_result();
}

}  // namespace

extern "C" {

void MLDefaultHandler(MLINK, int message, int) {
  switch (message) {
    case MLTerminateMessage:
      store_flag(MLDone, 1);
      store_flag(MLAbort, 1);
      break;
    case MLInterruptMessage:
    case MLAbortMessage:
      store_flag(MLAbort, 1);
      break;
    default:
      break;
  }
}

int MLMain(int argc, char **argv) {
  if (argc < 0) return kRefused;
  return _MLMain(argv, argv + argc, nullptr);
}

int MLMainArgv(char **argv, char **argv_end) {
  // Compare as integers: the caller's range is one array, but nothing
  // stops it from handing an end below the start.
  const auto first = reinterpret_cast<std::uintptr_t>(argv);
  const auto last = reinterpret_cast<std::uintptr_t>(argv_end);
  if (last > first && last - first > sizeof(char *) * kMaxArgs) return kRefused;

  int count = 0;
  for (std::uintptr_t at = first; at < last; at += sizeof(char *)) {
    far_argv[count] = *argv;
    ++argv;
    ++count;
  }
  return _MLMain(far_argv, far_argv + count, nullptr);
}

int MLMainString(char *commandline) { return _MLMain(nullptr, nullptr, commandline); }

mlapi_packet MLAnswer(MLINK mlp) {
  mlapi_packet pkt = 0;
  while (load_flag(MLDone) == 0 && MLError(mlp) == MLEOK) {
    const int waitResult = MLWaitForLinkActivity(mlp);
    if (waitResult == 0 || waitResult != MLWAITSUCCESS) break;
    pkt = MLNextPacket(mlp);
    if (pkt == 0 || pkt != CALLPKT) break;
    store_flag(MLAbort, 0);
    if (!MLDoCallPacket(mlp)) pkt = 0;
  }
  store_flag(MLAbort, 0);
  return pkt;
}

int _MLDoCallPacket(MLINK mlp, const struct func *functable, int nfuncs) {
  int res = 0;
  int n = 0;
  if (MLGetInteger(mlp, &n) && n >= 0 && n < nfuncs && functable != nullptr) {
    const func &entry = functable[n];
    bool accepted = entry.f_func != nullptr;
    if (accepted && entry.f_nargs >= 0) {
      int len = 0;
      if (!MLTestHead(mlp, "List", &len)) {
        accepted = false;
      } else if (entry.manual == 0) {
        accepted = len == entry.f_nargs;
      } else {
        accepted = len >= entry.f_nargs;
      }
    }
    if (accepted) {
      stdlink = mlp;
      res = entry.f_func(mlp);
    }
  }
  if (res == 0) res = MLClearError(mlp) && MLPutSymbol(mlp, "$Failed") ? 1 : 0;
  if (res == 0) return 0;
  return MLEndPacket(mlp) && MLNewPacket(mlp) ? 1 : 0;
}

int MLEvaluate(MLINK mlp, char *s) {
  if (load_flag(MLAbort) != 0) return 0;
  return MLPutFunction(mlp, "EvaluatePacket", 1) && MLPutFunction(mlp, "ToExpression", 1) &&
                 MLPutString(mlp, s) && MLEndPacket(mlp)
             ? 1
             : 0;
}

int MLEvaluateString(MLINK mlp, char *s) {
  if (load_flag(MLAbort) != 0) return 0;
  if (MLEvaluate(mlp, s)) {
    // Waiting through MLAnswer serves the calls the evaluation makes.
    for (;;) {
      const mlapi_packet pkt = MLAnswer(mlp);
      if (pkt == RETURNPKT || pkt == 0) break;
      (void)MLNewPacket(mlp);
    }
    (void)MLNewPacket(mlp);
  }
  return MLError(mlp) == MLEOK ? 1 : 0;
}

}  // extern "C"

/*
 * Bridge runtime: turns the program that links it into a server of one
 * external function for a computing kernel at the far end of a link.
 *
 * Link exactly one bridge library into a program:
 *   librfbridge.a   installs rfcomm[x_Integer] and needs `rfcomm`;
 *   libadcbridge.a  installs SPIDevMcp3008[nx_Integer,dt_Integer] and
 *                   needs `spidev_mcp3008`.
 * The program supplies `main`, which hands its link arguments to one of
 * the entry points below.
 *
 * Results: routines that report success return nonzero (mostly 1) when
 * it worked and 0 when it failed; each comment says what failure means.
 * Nothing here allocates memory or ends the process.
 *
 * Threads: everything runs on the thread of the serving run, except the
 * message handler, which the link library calls on its own thread.  The
 * handler only sets MLAbort and MLDone; read them from other code as
 * plain ints (the runtime itself accesses them atomically).
 */
#ifndef ADCKIT_BRIDGE_H
#define ADCKIT_BRIDGE_H

#include <mathlink.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One entry of a function table; the index of an entry is the number the
 * kernel calls it by. */
typedef struct func {
  int f_nargs;            /* list length; negative: the list is not looked at */
  int manual;             /* 0: exactly f_nargs elements; else at least f_nargs */
  int (*f_func)(MLINK);   /* reads arguments, calls, answers; 0 means failed */
  const char *f_name;     /* name of the function reached; informative only */
} func;

/* ---- Entry points: one whole serving run each. ----
 * Create the environment (unless stdenv holds one), open the link, install
 * the function, answer calls until the kernel ends the run or the link
 * fails, close the link and release the environment.
 * Returns 1 when no terminate message has arrived (MLDone is 0), 0 after
 * one.  A link that cannot be opened is shown through MLAlert and still
 * returns 1. */

/* Opens the link from argc arguments starting at argv (argv[0] included). */
int MLMain(int argc, char **argv);
/* Opens the link from the arguments argv up to, not including, argv_end.
 * At most 128 arguments: a longer range is refused before anything else
 * happens (no environment, no link) and the result is -1.  MLMain refuses
 * a negative argc the same way. */
int MLMainArgv(char **argv, char **argv_end);
/* Opens the link from a command-line string such as
 * "-linkname 5000 -linkmode connect". */
int MLMainString(char *commandline);

/* ---- Answering and evaluation. ---- */

/* Serves call packets until a packet of another kind arrives, the link
 * fails, a terminate message arrives or waiting fails.  Returns the code
 * of that other packet (contents unread), 0 after a link error, or the
 * code left from the last call served (CALLPKT, or 0 when it failed). */
mlapi_packet MLAnswer(MLINK mlp);
/* Answers the call packet just announced on mlp through this library's
 * own table.  Returns 1 if the answer was written and the packet ended. */
int MLDoCallPacket(MLINK mlp);
/* As MLDoCallPacket, through the given table of nfuncs entries; a call
 * that cannot be served is answered $Failed. */
int _MLDoCallPacket(MLINK mlp, const struct func *functable, int nfuncs);
/* Sends EvaluatePacket[ToExpression[s]]; the answer stays on the link.
 * Returns 1 if the whole packet was written; 0 at once while MLAbort is
 * set. */
int MLEvaluate(MLINK mlp, char *s);
/* Evaluates s for its effect: serves the calls that arrive meanwhile and
 * drops the result.  Returns 1 if the link is healthy afterwards; 0 at
 * once while MLAbort is set. */
int MLEvaluateString(MLINK mlp, char *s);

/* Announces this library's pattern on an open link, then End, and
 * flushes.  Returns 0 if any step failed. */
int MLInstall(MLINK mlp);

/* Installed when stdhandler is null: terminate sets MLDone and MLAbort,
 * interrupt and abort set MLAbort, other messages do nothing. */
void MLDefaultHandler(MLINK mlp, int message, int n);

/* ---- Shared state; zero or null at program start. ---- */
extern int MLAbort;                      /* an abort, interrupt or terminate came */
extern int MLDone;                       /* a terminate came; never cleared */
extern long MLSpecialCharacter;          /* unused, kept for programs that name it */
extern MLINK stdlink;                    /* link of the call being served */
extern MLEnvironment stdenv;             /* environment of the current run */
extern MLYieldFunctionObject stdyielder; /* set before a run to install one */
extern MLMessageHandlerObject stdhandler;/* set before a run to replace the default */

/* ---- Supplied by the program. ---- */

/* For librfbridge.a: the answer to rfcomm[x].  Called after the call
 * packet was read; if a message set MLAbort meanwhile, Abort[] is sent
 * instead of the result. */
int rfcomm(int x);
/* For libadcbridge.a: writes its own answer to SPIDevMcp3008[nx, dt] on
 * stdlink (one expression, no packet end).  Its result is not used. */
int spidev_mcp3008(int nx, int dt);

#ifdef __cplusplus
}
#endif

#endif /* ADCKIT_BRIDGE_H */

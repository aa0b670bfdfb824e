/*
 * The link-library calls, types and codes a bridge program uses.
 *
 * Bridges include this file as <mathlink.h>, so a vendor's header of the
 * same name can take its place (see ADCKIT_LINK_DIR in the README).  The
 * stand-in library in linklib/ implements every call declared here.
 *
 * Convention: calls that return "ok" give nonzero on success and 0 on
 * failure; after a failure MLError tells why.
 */
#ifndef ADCKIT_MATHLINK_H
#define ADCKIT_MATHLINK_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MLink *MLINK;        /* one link to the peer */
typedef struct MLEnv *MLENV;        /* library state shared by links */
typedef MLENV MLEnvironment;
typedef void *MLEnvironmentParameter;
typedef struct MLYieldParams *MLYieldParameters;

/* Called on the library's own delivery thread when a message arrives:
 * (link, message code, message argument). */
typedef void (*MLMessageHandlerObject)(MLINK, int, int);
/* Called while the library waits; only passed through by the bridges. */
typedef int (*MLYieldFunctionObject)(MLINK, MLYieldParameters);

typedef int mlapi_packet;

/* Packet codes, as MLNextPacket reports them; 0 means a link error. */
#define RETURNPKT 3
#define CALLPKT 7
#define SUSPENDPKT 17
#define RESUMEPKT 18
/* Codes of this toolkit's choosing for the packets the peer sends. */
#define EVALUATEPKT 40
#define UNKNOWNPKT 63 /* any head that names no packet this header knows */

/* MLWaitForLinkActivity results. */
#define MLWAITSUCCESS 1

/* Message codes, delivered to the installed message handler.  Others
 * (4 to 12, and 128 to 255 for programs of one's own) also travel. */
#define MLTerminateMessage 1
#define MLInterruptMessage 2
#define MLAbortMessage 3

/* Error code of a healthy link (MLError, the open calls' error argument). */
#define MLEOK 0

/* Environment. */
MLENV MLInitialize(MLEnvironmentParameter parameters); /* null on failure */
void MLDeinitialize(MLENV env);

/* Opening and closing.  Null on failure, with *error set. */
MLINK MLOpenArgcArgv(MLENV env, int argc, char **argv, int *error);
MLINK MLOpenString(MLENV env, const char *commandline, int *error);
int MLConnect(MLINK link);                          /* ok */
void MLClose(MLINK link);

/* Errors. */
const char *MLErrorString(MLENV env, int error);      /* text for a code */
int MLAlert(MLENV env, const char *message);        /* shows the text */
int MLError(MLINK link);                            /* 0 while healthy */
int MLClearError(MLINK link);                       /* ok: usable again */

/* Hooks. */
int MLSetMessageHandler(MLINK link, MLMessageHandlerObject handler);
int MLSetYieldFunction(MLINK link, MLYieldFunctionObject yielder);

/* Reading. */
int MLWaitForLinkActivity(MLINK link);              /* MLWAITSUCCESS */
int MLNextPacket(MLINK link);                       /* code, 0 on error */
int MLNewPacket(MLINK link);                        /* ok */
int MLGetInteger(MLINK link, int *value);           /* ok */
int MLTestHead(MLINK link, const char *head, int *count); /* ok */

/* Writing. */
int MLPutFunction(MLINK link, const char *head, int count); /* ok */
int MLPutSymbol(MLINK link, const char *name);      /* ok */
int MLPutString(MLINK link, const char *text);      /* ok */
int MLPutInteger(MLINK link, int value);            /* ok */
int MLEndPacket(MLINK link);                        /* ok */
int MLFlush(MLINK link);                            /* ok */
int MLTransferExpression(MLINK destination, MLINK source); /* ok */

#ifdef __cplusplus
}
#endif

#endif /* ADCKIT_MATHLINK_H */

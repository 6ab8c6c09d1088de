/* dayward, the calendar queue agent: exported records, globals and functions.
 *
 * The agent registers with the REVO servers, serves the queue connections they
 * open to its listener, and applies iCalendar replies and cancellations to the
 * recipients' calendars. Everything here is exported from the program so that
 * libraries loaded into the process resolve these names against it.
 *
 * Plain C interface; safe to include from C and C++. */
#ifndef DAYWARD_H
#define DAYWARD_H

#include <netinet/in.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct ssl_st;
struct ssl_ctx_st;
struct ICalObject;
struct ICalAttendee;
struct LWStream;

/* Capacity of a connection's receive buffer; at most one byte less is data. */
#define REVO_LINE_BUFFER 1024

/* One REVO connection: a queue connection from a server, or one the agent
 * opened itself (registration, calendar-store session). Owned by one thread. */
typedef struct REVOConnection {
    int Socket;                        /* -1 once closed */
    int Released;                      /* 1 once released; a second release does nothing */
    struct sockaddr_in PeerAddress;    /* peer of a queue connection */
    struct ssl_st* SSL;                /* SSL session, or null */
    int BufferedLength;                /* received bytes waiting in LineBuffer */
    char LineBuffer[REVO_LINE_BUFFER]; /* LineBuffer[BufferedLength] is always NUL */
    unsigned char UseSSL;              /* 0 plain TCP, 1 SSL: index into FuncTbl */
} REVOConnection;

/* Transport function: (connection, buffer, count) -> bytes moved, or < 1. */
typedef int (*REVOTransport)(REVOConnection* connection, void* buffer, int count);

/* Writes use slot UseSSL, reads slot 2 + UseSSL; slots 4 to 7 are empty. */
extern REVOTransport FuncTbl[8];

/* Registration request handed to a registration thread, which frees it. */
typedef struct REVORegistration {
    char Address[20]; /* dotted IPv4 address of the REVO server */
    int Queue;        /* always 5 */
    int Port;         /* listener port in network byte order, low 16 bits */
} REVORegistration;

/* Process-wide globals. */
extern int Exiting;
extern int ServerSocket;
extern int ServerSocketPort;
extern int ServerSocketSSL;
extern int ServerSocketSSLPort;
extern struct ssl_ctx_st* SSLContext;
extern int HighestSocket;
extern char OfficialName[257];
extern int Tid;
extern int TGid;
extern char REVOSecret[33];

/* Connection I/O. REVOReadLine and REVOSendAll release the connection on a
 * failure, which ends the calling thread, unless it was released already. */
int REVOReadLine(REVOConnection* connection, char* destination, int size, int parse);
int REVOSendAll(REVOConnection* connection, const char* bytes, int count);
void ReleaseConnection(REVOConnection* connection);
void RunQueueListener(void);

/* Registration and authentication. */
void StartRegistrationThreads(int port);
void* RegisterREVOServer(void* registration);
int REVOAuthenticate(REVOConnection* connection, struct sockaddr_in* address, char* buffer);
int UnscrambleSecret(const char* text);

/* MD5 digest (RFC 1321). The context is opaque storage large enough for the
 * digest state; MD5Final releases what MD5Init set up. */
typedef struct MD5Context {
    void* State;
} MD5Context;
void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const void* bytes, unsigned int length);
void MD5Final(unsigned char digest[16], MD5Context* context);

/* Queue entries and the calendar store. */
void* HandleConnection(void* connection);
uint32_t DaywardStreamFromREVO(struct LWStream* source, struct LWStream* next);
uint32_t DaywardStreamToMemory(struct LWStream* stream, struct LWStream* next);
int StoreReply(struct ICalObject* object, struct ICalAttendee* attendee,
               struct sockaddr_in* address, const char* recipient, char* buffer);
int StoreCancel(struct ICalObject* object, struct sockaddr_in* address, const char* recipient,
                char* buffer, const char* sender);

/* Start-up and shutdown. */
void DaywardReadConfiguration(void);
void DaywardShutdownSigHandler(int signal);
void DaywardReleaseGlobalState(void);

/* Port of every REVO server connection: 689, or REVO_PORT when set. */
extern int DaywardREVOPort;
/* Stack size of every thread the agent starts. */
extern const unsigned long DaywardThreadStack;

#ifdef __cplusplus
}
#endif

#endif /* DAYWARD_H */

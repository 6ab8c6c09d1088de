/* MIME stream library: stream records, the codec registry and chain helpers.
 *
 * A chain is a list of LWStream records linked by Next. Each record holds the
 * pending bytes of one stage in its buffer [Start, Start + Len) and the codec
 * that consumes them. A codec is called as Codec(in, in->Next), appends its
 * result at out->Start + out->Len, pushes the output on with LWStreamFlush
 * when it nears out->End and once more at the end of the stream, and returns
 * the number of bytes it consumed from the front of in's buffer. Unconsumed
 * bytes stay at the front and are presented again with more data behind them.
 *
 * The library's internal text form is UTF-8: character-set decoders produce
 * it, encoders read it.
 *
 * Plain C interface; safe to include from C and C++. */
#ifndef LWSTREAM_H
#define LWSTREAM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of every buffer the library allocates; hosts use the same size. */
#define LWSTREAM_BUFSIZE 1023

struct LWStream;
struct ICalObject;

/* Consumes bytes from the front of in's buffer, writes into out (in->Next),
 * returns the number of input bytes consumed. A sink ignores out and always
 * consumes everything. */
typedef uint32_t (*LWCodec)(struct LWStream* in, struct LWStream* out);

typedef struct LWStream {
    unsigned char* Start;  /* first byte of the buffer with this stream's pending data */
    int32_t Len;           /* valid bytes at Start; writers append at Start + Len */
    unsigned char* End;    /* one past the last usable byte (Start + 1023) */
    uint32_t State;        /* private state of the codec that reads this stream; 0 at creation */
    uint32_t EOS;          /* 1 once the bytes now in the buffer are the last of the stream */
    void* Param;           /* codec parameter (encoded-word charset, markup charset stream) */
    const char* URL;       /* link prefixes of the markup filters */
    void* Data;            /* host pointer: memory a sink collected, or what a source reads */
    const char* LinkAttr;  /* extra link attribute text of the markup filters; may be null */
    int32_t Count;         /* host count: bytes a sink collected, or bytes a source still reads */
    uintptr_t Client;      /* host context handed to LWCalendarHook */
    LWCodec Codec;         /* processes this stream's buffer */
    struct LWStream* Next; /* receives Codec's output; null for a sink */
} LWStream;

typedef struct LWStreamEntry {
    const char* Name; /* null in the terminating row */
    LWCodec Decode;   /* external form to internal form; may be null */
    LWCodec Encode;   /* internal form to external form; may be null */
    uint32_t Primary; /* 1 on the canonical name of a character set */
    uint32_t Reserved;
} LWStreamEntry;

/* The codec registry, ended by a row whose Name is null. Constant. */
extern const LWStreamEntry LWStreamList[];

/* One row of TagList, the tags the text/html filter acts on. A row matches
 * a tag whose text, from '<' on, starts with the row's Len characters of Tag
 * (ASCII case ignored). */
typedef struct LWTagEntry {
    const char* Tag;   /* null in the terminating row */
    uint32_t Kind;     /* LWTAG_* */
    uint32_t Len;      /* characters of Tag compared */
    uint32_t Partner;  /* row that closes the section a LWTAG_OPEN row opens */
    const char* Attr;  /* attribute the row acts on, or null */
    uint32_t AttrLen;
} LWTagEntry;

#define LWTAG_OPEN 1    /* opens a suppressed section */
#define LWTAG_CLOSE 2   /* closes the section whose partner it is */
#define LWTAG_LINK 3    /* link: its address goes through the host's prefix */
#define LWTAG_CHARSET 5 /* declares the character set of the rest of the part */
#define LWTAG_DROP 6    /* dropped */

/* The tags of the text/html filter, ended by a row whose Tag is null.
 * Constant; callers may index the rows. */
extern const LWTagEntry TagList[];

/* 1 when the first n characters of a and b are equal without regard to
 * ASCII case, stopping early where both end; else 0. */
int LWTagMatch(const char* a, const char* b, int n);

/* Decode (encode == 0) or encode function registered under name, compared
 * without regard to ASCII case; null when the name is unknown or the chosen
 * direction is empty. */
LWCodec LWStreamFindCodec(const char* name, int encode);

/* One heap block holding a zeroed record and its own LWSTREAM_BUFSIZE-byte
 * buffer, with Codec set as LWStreamFindCodec chooses. Null when the name or
 * direction has no codec or memory runs out. The caller sets Next and any
 * parameter fields. */
LWStream* LWStreamCreate(const char* name, int encode);

/* Frees a record made by LWStreamCreate. Returns 1, or 0 for null. */
int LWStreamFree(LWStream* stream);

/* Pushes out's pending bytes to out->Codec: sets out->EOS first when eos is
 * non-zero, runs the codec, and moves the bytes it left unconsumed to the
 * front of the buffer. Returns the number of bytes the codec consumed. */
uint32_t LWStreamFlush(LWStream* out, int eos);

/* Called by the text/calendar collector for every calendar object it parsed,
 * with the collector's Client word and the content type. The object is freed
 * after the call returns. The host supplies this function; the library's own
 * default does nothing and returns 0. */
int LWCalendarHook(uintptr_t client, const char* type, struct ICalObject* object);

#ifdef __cplusplus
}
#endif

#endif /* LWSTREAM_H */

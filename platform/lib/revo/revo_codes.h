/* REVO reply codes, shared by the servers, their clients and the agent.
 * A reply line starts with the code; by its first digit: 1 done, 2 data or a
 * listing line follows, 4 refused, 5 the server failed or ends the session,
 * 6 the server opens a queue connection. Plain C so that C callers can use it. */
#ifndef REVO_CODES_H
#define REVO_CODES_H

enum RevoReplyCode {
    REVO_OK = 1000, /* success; ends listings and the QMIME structure */

    REVO_ORGANIZER = 2001,         /* CSORG: the organizer's address in the text */
    REVO_MIME_PART = 2002,         /* QMIME: one part of the message */
    REVO_MIME_END_PART = 2003,     /* QMIME: end of a multipart or message part */
    REVO_MIME_END_ALTERN = 2004,   /* QMIME: end of a multipart/alternative part */
    REVO_BYTES_FOLLOW = 2021,      /* QBRAW, MBREAD: the text counts the bytes after the line */
    REVO_BYTES_FOLLOW_LAST = 2023, /* the same, accepted from other servers */
    REVO_QUEUE_ITEM = 2030,        /* QLIST: one queued entry */
    REVO_MAILBOX_ITEM = 2031,      /* MBLIST: one delivered message */
    REVO_CAL_ENTRY = 2040,         /* CSLIST: one calendar entry */
    REVO_CAL_INSTANCE = 2041,      /* CSLIST: a deleted instance of the entry above */
    REVO_CAL_ATTENDEE = 2042,      /* CSLIST: an attendee of the entry above */

    REVO_ERR_SYNTAX = 4000,
    REVO_ERR_UNKNOWN_COMMAND = 4001,
    REVO_ERR_LINE_TOO_LONG = 4002,
    REVO_ERR_AUTH_FIRST = 4100,
    REVO_ERR_AUTH_FAILED = 4101,
    REVO_ERR_NO_SUCH_USER = 4200,
    REVO_ERR_NO_USER = 4201,
    REVO_ERR_NO_SUCH_CALENDAR = 4202,
    REVO_ERR_NO_CALENDAR = 4203,
    REVO_ERR_NO_SUCH_ENTRY = 4210,
    REVO_ERR_SEQUENCE_OLD = 4211,
    REVO_ERR_NOT_ATTENDEE = 4212,
    REVO_ERR_NOT_ALL_COMPLETED = 4213,
    REVO_ERR_NO_SUCH_QUEUE_ENTRY = 4220,
    REVO_ERR_RANGE = 4221,
    REVO_ERR_NO_SUCH_MESSAGE = 4230,
    REVO_ERR_TOO_LARGE = 4240,
    REVO_ERR_CONTROL_LINE = 4241,
    /* The greeting that asks for AUTH: the challenge stands between '<' and '>'.
     * Agents also take it as success after USER. */
    REVO_AUTH_CHALLENGE = 4242,
    REVO_ERR_NO_RECIPIENT = 4243,

    REVO_ERR_STORE = 5000,
    REVO_CLOSING = 5001, /* the server ends the session */

    REVO_QUEUE_OFFER = 6020, /* queue identifier and control size; control lines follow */
    REVO_QUEUE_END_CONTROL = 6021
};

#endif

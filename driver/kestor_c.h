/* kestor_c.h: the KESTOR register driver for any language that can call C
 * (C#, Delphi, 1C, Python's ctypes...). Every request and answer is UTF-8 JSON
 * text, exactly as `kestorctl rpc` reads and writes one line:
 *
 *   kestor_t* k = kestor_create();
 *   char* answer = kestor_call(k, "{\"op\": \"Open\"}");
 *   ... {"ok":true,"result":null,"ErrCode":0,...}
 *   kestor_free(answer);
 *   kestor_destroy(k);
 *
 * The functions use the C calling convention (cdecl) on every platform.
 * Threads: one kestor_t is used by one thread at a time, except
 * kestor_abort, which any thread may call while a kestor_call runs. Distinct
 * kestor_t objects are independent. No function raises an exception or
 * aborts the process over its arguments: NULL or malformed input gets an
 * answer with "ok": false. */
#ifndef KESTOR_C_H
#define KESTOR_C_H

#if defined(_WIN32)
#if defined(KESTOR_C_BUILDING)
#define KESTOR_API __declspec(dllexport)
#else
#define KESTOR_API __declspec(dllimport)
#endif
#define KESTOR_CALL __cdecl
#else
#define KESTOR_API __attribute__((visibility("default")))
#define KESTOR_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One driver object: a connection to one register. */
typedef struct kestor kestor_t;

/* Receives each event as a JSON object, on the thread of the kestor_call that
 * fires it: {"event": "send" | "receive", "hex": "02 45 ..."} for each block on
 * the line, {"event": "status", "EcrStatus": ...}, {"event": "conn",
 * "ConnState": "mcsIdle", "Connected": true}, and the questions
 * {"event": "no-response" | "printer-error" | "display-error"}. For a question,
 * non-zero means wait or try again and zero gives up (the call then fails);
 * for the other events the value is not used. The text is valid only during
 * the call of the handler. */
typedef int(KESTOR_CALL* kestor_event_handler)(void* context, const char* event_json);

/* A new driver object, or NULL when memory is short. */
KESTOR_API kestor_t* KESTOR_CALL kestor_create(void);

/* Closes the connection, if open, and frees the object; NULL is ignored. */
KESTOR_API void KESTOR_CALL kestor_destroy(kestor_t* driver);

/* Runs one request: an object with "op" and "args", "get", or "set" and
 * "value", as a line of `kestorctl rpc`. Returns the answer as that command
 * prints it, without the newline, to be freed with kestor_free; NULL only
 * when memory is short. */
KESTOR_API char* KESTOR_CALL kestor_call(kestor_t* driver, const char* request_json);

/* Frees an answer of kestor_call; NULL is ignored. */
KESTOR_API void KESTOR_CALL kestor_free(char* answer);

/* Ends the request running on driver (AbortRequest): it fails with
 * EKestRequestAborted. From any thread; NULL is ignored. */
KESTOR_API void KESTOR_CALL kestor_abort(kestor_t* driver);

/* Sets the handler of the driver's events, or none with NULL. While none is
 * set, questions get zero. */
KESTOR_API void KESTOR_CALL kestor_set_event_handler(kestor_t* driver, kestor_event_handler handler,
                                                     void* context);

/* The library's version, "1.2.101". */
KESTOR_API const char* KESTOR_CALL kestor_version(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTOR_C_H */

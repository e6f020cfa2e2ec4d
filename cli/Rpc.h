// `kestorctl rpc`: drives the register through JSON lines. Each line on the
// input names an operation ("op"), a property to read ("get") or to write
// ("set"); each gets one answer line with the outcome. The answer to an "op"
// or a "set" also carries the driver's last-error properties (ErrCode,
// ErrCodeEx, ErrMessage), which that call set; a "get" calls nothing that
// sets them, so its answer has only "ok", "result" and the "id". A line that
// cannot be read or carried out gets {"ok": false, "error": ...} and the
// session goes on. With tracing, the driver's events are written as
// lines of their own before the answer of the call that fired them.
// One trace line per data event: the blocks as the driver wrote and read
// them (a request goes out as STX, command and password, data, checksum, ETX).
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

#include "KestorFPrt.h"
#include "RpcTable.h"

namespace kest {

// "EKestEcrError", "std::system_error": the class of a caught exception as
// written in the source.
std::string ExceptionClassName(const std::exception& Error);

// Bounds of one request, both far beyond any real one: the largest, a picture
// as hex text or a composite document, is some tens of KB and a few levels deep.
inline constexpr std::size_t RpcMaxRequestBytes = 1 << 20;
inline constexpr int RpcMaxDepth = 64;

// Parses a request text of any JSON type; ERpcMalformed for a NUL byte, text
// that is not JSON, a number too large for a double or nesting deeper than
// RpcMaxDepth.
TJson ParseRpcJson(std::string_view Text);

// The answer to one request value, as a line of `kestorctl rpc` gets it: the
// request's "id" first, then the outcome. Anything but an object is answered
// {"ok": false, "error": ...} without calling the driver.
TJson AnswerRequest(TKestorFPrt& Driver, const TJson& Request);

// Answer as one line of text. Answer is the answer to the request in
// RequestText, or the array of answers to its array of requests; a numeric
// "id" comes back as it was written, which a double would not keep (the
// integer 18446744073709551616 would read 1.8446744073709552e+19).
std::string DumpAnswer(const TJson& Answer, std::string_view RequestText);

// The status words and the document state, as events and the hub's state give them.
TJson StatusJson(const TKestorFPrt& Driver);

// The driver's events as rpc event objects, passed to Sink on the thread of
// the call that fires them: {"event": "send" | "receive", "hex": ...} for each
// block on the line, "status" (StatusJson) and "conn" ("ConnState",
// "Connected") for each change, and the questions "no-response",
// "printer-error" and "display-error", whose answer Sink returns (true: wait
// or try again; false: give up, the call fails). Installed on the driver for
// the object's life.
class TRpcEvents {
public:
    using TSink = std::function<bool(const TJson& Event)>;
    TRpcEvents(TKestorFPrt& Driver, TSink Sink);
    ~TRpcEvents();
    TRpcEvents(const TRpcEvents&) = delete;
    TRpcEvents& operator=(const TRpcEvents&) = delete;

private:
    TKestorFPrt& FDriver;
    TSink FSink;
};

class TRpcSession {
public:
    // RetryDeviceErrors: printer and display errors are retried, else cancelled.
    TRpcSession(TKestorFPrt& Driver, std::ostream& Out, bool Trace, bool RetryDeviceErrors);
    ~TRpcSession();
    TRpcSession(const TRpcSession&) = delete;
    TRpcSession& operator=(const TRpcSession&) = delete;

    // Answers every line until the end of In; a line longer than
    // RpcMaxRequestBytes is refused without being kept.
    void Run(std::istream& In);
    // Answers one line; a blank line gets no answer.
    void HandleLine(std::string_view Line);

private:
    void Write(const TJson& Line);

    TKestorFPrt& FDriver;
    std::ostream& FOut;
    TRpcEvents FEvents;
};

}  // namespace kest

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

#include <iosfwd>
#include <string>
#include <string_view>

#include "KestorFPrt.h"
#include "RpcTable.h"

namespace kest {

// "EKestEcrError", "std::system_error": the class of a caught exception as
// written in the source.
std::string ExceptionClassName(const std::exception& Error);

class TRpcSession {
public:
    // RetryDeviceErrors: printer and display errors are retried, else cancelled.
    TRpcSession(TKestorFPrt& Driver, std::ostream& Out, bool Trace, bool RetryDeviceErrors);
    ~TRpcSession();
    TRpcSession(const TRpcSession&) = delete;
    TRpcSession& operator=(const TRpcSession&) = delete;

    // Answers every line until the end of In; a line longer than 1 MiB is
    // refused without being kept.
    void Run(std::istream& In);
    // Answers one line; a blank line gets no answer.
    void HandleLine(std::string_view Line);

private:
    TJson Call(const TJson& Request);
    void TraceData(const char* Direction, std::string_view Bytes);
    void Write(const TJson& Line);
    void WriteEvent(std::string_view Name);

    TKestorFPrt& FDriver;
    std::ostream& FOut;
};

}  // namespace kest

// `kestorctl rpc`: drives the register through JSON lines. Each line on the
// input names an operation ("op"), a property to read ("get") or to write
// ("set"); each gets one answer line with the outcome and the driver's
// last-error properties. With tracing, the driver's events are written as
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

    // Answers every line until the end of In.
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

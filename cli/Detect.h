// `kestorctl detect`: which ports have a register, at which rate. Every port
// is tried at the given rates in turn with the driver's TestConnection, which
// identifies the register without keeping the port; the first rate that gets
// an answer ends the port's search. Ports are searched side by side, so a
// search takes about as long as the slowest port.
#pragma once

#include <string>
#include <vector>

#include "KestorFPrt.h"

namespace kest {

class TDumpSink;

struct TDetectRequest {
    std::vector<int> Ports;  // port numbers 1..24
    std::vector<int> Rates;
    std::u16string Password;
    int InternalTimeout = 0;
    TDumpSink* Sink = nullptr;  // the line dump, or none
    bool ShowPassword = false;
};

enum class TDetectOutcome {
    Found,        // a register identified itself
    Answered,     // something answered but did not identify itself (Error says why)
    Silent,       // no answer at any rate
    Unavailable,  // the port cannot be opened (Error says why)
};

struct TDetectResult {
    int PortNum = 0;
    std::string Device;
    TDetectOutcome Outcome = TDetectOutcome::Silent;
    int BaudRate = 0;   // the rate that got the answer
    std::string Error;  // the last failure, one line
    TKestEcrModel EcrModel = memUnknown;
    int Generation = 0;
    bool EKLZSupported = false;
    std::u16string ModelName, SerialNumber, FirmwareVersion;
};

// Ports 1..8 and every port N whose KESTOR_COM<N> is set.
std::vector<int> DefaultPorts();
// The results in the order of Request.Ports; a port whose device an earlier
// port already names is tried once.
std::vector<TDetectResult> Detect(const TDetectRequest& Request);

}  // namespace kest

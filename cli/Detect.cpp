#include "Detect.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>

#include "Commands.h"
#include "SerialLine.h"  // the driver's own names of the ports
#include "Trace.h"

namespace kest {

namespace {

constexpr int MaxPortNum = 24;
constexpr int DefaultPortCount = 8;

std::string PortName(int PortNum) {
    return "COM" + std::to_string(PortNum);
}

TDetectResult Probe(const TDetectRequest& Request, int PortNum) {
    TDetectResult result;
    result.PortNum = PortNum;
    result.Device = DeviceForPort(PortNum);

    TKestorFPrt driver;
    std::optional<TLineDump> dump;
    if (Request.Sink) {
        dump.emplace(*Request.Sink, Request.ShowPassword, PortName(PortNum));
        dump->Attach(driver);
    }
    try {
        driver.SetPortNum(PortNum);
        driver.SetPassword(Request.Password);
        driver.SetInternalTimeout(Request.InternalTimeout);
    } catch (const std::exception& e) {
        result.Outcome = TDetectOutcome::Unavailable;
        result.Error = OneLine(e.what());
        return result;
    }
    for (const int rate : Request.Rates) {
        try {
            driver.SetBaudRate(rate);
            driver.TestConnection();
        } catch (const EKestNoResponse& e) {
            result.Error = OneLine(e.what());
            continue;
        } catch (const EKestBadResponse& e) {  // what a wrong rate may look like
            result.Error = OneLine(e.what());
            continue;
        } catch (const std::system_error& e) {  // no such device, or it is busy
            result.Outcome = TDetectOutcome::Unavailable;
            result.Error = OneLine(e.what());
            return result;
        } catch (const std::exception& e) {
            result.Outcome = TDetectOutcome::Answered;
            result.BaudRate = rate;
            result.Error = OneLine(e.what());
            return result;
        }
        result.BaudRate = rate;
        // TestConnection passes over the register's refusal of the
        // identification; the identity then stays unknown.
        if (driver.EcrModel() == memUnknown) {
            result.Outcome = TDetectOutcome::Answered;
            result.Error = "the register refused to identify itself (a wrong --password?)";
            return result;
        }
        result.Outcome = TDetectOutcome::Found;
        result.EcrModel = driver.EcrModel();
        result.Generation = driver.Generation();
        result.EKLZSupported = driver.EKLZSupported();
        result.ModelName = driver.ModelName();
        result.SerialNumber = driver.SerialNumber();
        result.FirmwareVersion = driver.FirmwareVersion();
        return result;
    }
    return result;
}

}  // namespace

std::vector<int> DefaultPorts() {
    std::vector<int> ports;
    for (int port = 1; port <= MaxPortNum; ++port) {
        const std::string name = "KESTOR_COM" + std::to_string(port);
        const char* device = std::getenv(name.c_str());
        if (port <= DefaultPortCount || (device && *device)) ports.push_back(port);
    }
    return ports;
}

std::vector<TDetectResult> Detect(const TDetectRequest& Request) {
    std::vector<int> ports;
    std::vector<std::string> devices;
    for (const int port : Request.Ports) {
        const std::string device = DeviceForPort(port);
        if (std::ranges::find(devices, device) != devices.end()) continue;
        ports.push_back(port);
        devices.push_back(device);
    }
    std::vector<TDetectResult> results(ports.size());
    {
        std::vector<std::jthread> probes;
        for (std::size_t i = 0; i < ports.size(); ++i)
            probes.emplace_back([&, i] { results[i] = Probe(Request, ports[i]); });
    }
    return results;
}

}  // namespace kest

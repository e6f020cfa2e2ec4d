// What the tests of the driver against the emulator share: a driver pointed
// at a device through KESTOR_COM9, with short time-outs, and a register's
// configuration.
#pragma once

#include <cstdlib>
#include <string>
#include <utility>

#include "KestorEmu.h"
#include "KestorFPrt.h"

class TLinkDriver : public TKestorFPrt {
public:
    explicit TLinkDriver(const std::string& Device, int InternalTimeout = 150,
                         int ExternalTimeout = 300) {
        setenv("KESTOR_COM9", Device.c_str(), 1);
        SetPortNum(9);
        SetInternalTimeout(InternalTimeout);
        SetExternalTimeout(ExternalTimeout);
    }

    // The register's last document number, as the documents ask it.
    int DocNumber() {
        return RunCmd([&] { return InternalDocNumber(); });
    }
};

inline kest::emu::TConfig Register(TKestEcrModel Model, std::string Firmware = {}) {
    kest::emu::TConfig config;
    config.Model = Model;
    config.Firmware = std::move(Firmware);
    return config;
}

// Queries: the register's answers about itself, stored in the driver's
// information properties.
#include "KestorFPrt.h"

void TKestorFPrt::QueryFirmwareInfo() {
    RunCmd([&] { ReadIdentity(); });
}

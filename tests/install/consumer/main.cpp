// Links the installed driver and uses it as an integrator would: a port that
// is not there fails with the operating system's error in the driver's fields.
#include <KestorFPrt.h>

#include <cstdio>

int main() {
    TKestorFPrt driver;
    std::printf("libkestor %s\n", kest::ToUtf8(driver.Version()).c_str());
    driver.SetPortNum(24);
    try {
        driver.Open();
    } catch (const EKestError&) {
        return 1;  // the tree is for the register's and the driver's own errors
    } catch (const std::exception&) {
        std::printf("ErrCode %d\n", driver.ErrCode());
    }
    return driver.ErrCode() == 17 ? 0 : 1;
}

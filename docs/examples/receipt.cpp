// A sale receipt: kestor-receipt N prints one on the register of port N.
#include <KestorFPrt.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    TKestorFPrt kkm;
    try {
        kkm.SetPortNum(argc > 1 ? std::atoi(argv[1]) : 1);
        kkm.Open();
        kkm.OpenReceipt(motSale);
        try {  // 2 x 45.00 in department 1, paid with 100.00 in cash
            const auto money = TKestCurrency::Parse;
            kkm.AddReceiptItem(u"Хлеб", money("45.00"), false, 1, 0, 0, 2, 0, 0, u"");
            kkm.CloseReceipt(u"1", mptCash, money("100.00"), {}, u"", 0, moiNumberName);
        } catch (const EKestError&) {
            kkm.CancelReceipt();  // the driver keeps a refused receipt until then
            throw;
        }
    } catch (const EKestError& e) {  // the register's or the driver's refusal
        std::fprintf(stderr, "ErrCode %d (%d): %s\n", e.ErrCode(), e.ErrCodeEx(), e.what());
        return 1;
    } catch (const std::exception& e) {  // the system's, on the port: ErrCode 17
        std::fprintf(stderr, "ErrCode %d (%d): %s\n", kkm.ErrCode(), kkm.ErrCodeEx(), e.what());
        return 1;
    }
    std::puts("printed");
}

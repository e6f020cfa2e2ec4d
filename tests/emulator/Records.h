// Records of fiscal documents built by hand, byte for byte: standard
// receipts and the properties of composite documents.
#pragma once

#include <string>
#include <string_view>

namespace kest::emu::test {

// Text, then 0x00 up to Size bytes.
inline std::string Slot(std::string_view Text, size_t Size) {
    std::string slot(Text);
    slot.resize(Size, '\0');
    return slot;
}

// "Какой-то товар" in code page 866.
inline const std::string Goods = "\x8A\xA0\xAA\xAE\xA9-\xE2\xAE \xE2\xAE\xA2\xA0\xE0";

inline std::string Price(std::string_view Department, std::string_view Code,
                         std::string_view Adjustment, std::string_view Quantity,
                         std::string_view Amount) {
    return Slot(Department, 3) + Slot(Code, 5) + Slot(Adjustment, 6) + Slot(Quantity, 12) +
           Slot(Amount, 12);
}
inline std::string PriceV03(std::string_view Department, std::string_view Code,
                            std::string_view Adjustment, std::string_view Quantity,
                            std::string_view Amount, std::string_view Unit = {}) {
    return Slot(Department, 3) + Slot(Code, 7) + Slot(Adjustment, 6) + Slot(Quantity, 12) +
           Slot(Amount, 12) + std::string(Unit);
}

inline std::string ReceiptHeader(char Operation, std::string_view Flags, char PayType,
                                 std::string_view Payment, std::string_view Account, int Count) {
    return Slot({&Operation, 1}, 2) + Slot(Flags, 3) + Slot("0", 2) + Slot({&PayType, 1}, 2) +
           Slot(Payment, 21) + Slot(Account, 41) + Slot(std::to_string(Count), 4);
}
inline std::string ReceiptItem(std::string_view Name, std::string_view Flags,
                               std::string_view Price) {
    return Slot(Name, 41) + Slot(Flags, 3) + std::string(Price);
}

inline std::string PropertyV03(std::string_view Code, std::string_view Flags, int X, int Y,
                               std::string_view Data = {}) {
    const std::string head =
        Slot(Code, 3) + Slot(Flags, 5) + Slot(std::to_string(X), 3) + Slot(std::to_string(Y), 4);
    return head + (Code == "11" ? Slot(Data, 46) : Slot("", 5) + Slot(Data, 41));
}
inline std::string FiscalHeader(char Operation, std::string_view Mode, size_t Count) {
    return Slot({&Operation, 1}, 2) + Slot(Mode, 3) + Slot(std::to_string(Count), 4);
}

}  // namespace kest::emu::test

// The fiscal documents' enumerations and the fixed-layout records in which
// items, payments and document properties travel to the register.
//
// Every record is a run of ASCII slots: a slot holds left-aligned text and is
// 0x00 after it, so a zero-filled record has every field empty. The layouts
// are the register's, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

// The enumerations are one byte each, in the register's order.
enum TKestPayType : uint8_t {
    mptCash,
    mptCredit,
    mptCard,
    mptCashCredit,  // cash, the rest on credit
    mptCashCard,    // cash, the rest by card
};

enum TKestItemType : uint8_t {
    mitItem,
    mitPercentAdj,  // a discount or surcharge in per cent on the item before
    mitAmountAdj,   // the same as an amount
    mitVoidItem,
    mitVoidPercentAdj,
    mitVoidAmountAdj,
};

// What the register prints about the operator.
enum TKestOperInfo : uint8_t {
    moiNumber,
    moiName,
    moiNumberName,
};

// Department, code, adjustment, quantity and price of an item (every
// generation but 3 and 7).
struct TKestPriceData {
    char Department[3];  // up to 2 digits
    char Code[5];        // up to 4 digits
    char Adjustment[6];  // hundredths of a per cent, "3.00"
    char Quantity[12];   // with the item's precision, "5.24"
    char Price[12];      // in hundredths, "200.56"
};
static_assert(sizeof(TKestPriceData) == 38);
static_assert(offsetof(TKestPriceData, Price) == 26);

// The same on generations 3 and 7, with longer codes and the unit's name.
struct TKestPriceDataV03 {
    char Department[3];
    char Code[7];        // up to 6 digits
    char Adjustment[6];  // up to "100.00", which fills the slot
    char Quantity[12];
    char Price[12];
    char UnitName[6];
};
static_assert(sizeof(TKestPriceDataV03) == 46);
static_assert(offsetof(TKestPriceDataV03, Quantity) == 16);
static_assert(offsetof(TKestPriceDataV03, UnitName) == 40);

// One item of a standard receipt.
struct TKestItemData {
    char Name[41];
    char Flags[3];  // the item flag byte, 2 hex digits
    TKestPriceData Price;
};
static_assert(sizeof(TKestItemData) == 82);
static_assert(offsetof(TKestItemData, Price) == 44);

struct TKestReceiptHeader {
    char Oper[2];      // operation code character
    char Flags[3];     // operator information x 64, 2 hex digits (generations 6 and up)
    char Copies[2];    // 1 digit
    char PayType[2];   // payment type code character
    char PayInfo[21];  // payment information block
    char Account[41];
    char ItemCount[4];  // up to 3 digits
};
static_assert(sizeof(TKestReceiptHeader) == 75);
static_assert(offsetof(TKestReceiptHeader, Account) == 30);

// The head of a custom document or form (commands "N" and "P").
struct TKestCustomDocHeader {
    char Oper[2];
    char Flags[3];  // document flags and the fiscal impression's index, 2 hex digits
    char CopiesA[2];
    char CopiesB[2];
    char OffsetA[3];
    char OffsetB[3];
    char OffsetC[3];
    char PayType[2];        // 1 digit
    char PropertyCount[4];  // up to 3 digits
};
static_assert(sizeof(TKestCustomDocHeader) == 24);
static_assert(offsetof(TKestCustomDocHeader, PayType) == 18);

// A positioned document property (every generation but 3 and 7). A Y of
// three digits fills its slot. On generations 6 and 8 a priced property keeps
// its second horizontal offset in the last three bytes (SecondAt).
struct TKestDocPropertyData {
    char Code[3];  // 2 digits
    char Flags[3];
    char X[3];
    char Y[3];
    char Data[40];
    char End;
    static constexpr size_t SecondAt = 50;
};
static_assert(sizeof(TKestDocPropertyData) == 53);
static_assert(offsetof(TKestDocPropertyData, Data) == 12);

// The same on generations 3 and 7. An item (code 11) carries its price record
// less the last byte in all of Data; any other property its data from
// OtherDataAt on.
struct TKestDocPropertyDataV03 {
    char Code[3];
    char Flags[5];  // the whole flag word, 4 hex digits
    char X[3];
    char Y[4];
    char Data[45];
    char End;
    static constexpr size_t OtherDataAt = 5;
};
static_assert(sizeof(TKestDocPropertyDataV03) == 61);
static_assert(offsetof(TKestDocPropertyDataV03, Data) == 15);

// How a generation-8 register takes a stored TKestDocPropertyData: Y always
// followed by 0x00.
struct TKestDocPropertyDataV08 {
    char Code[3];
    char Flags[3];
    char X[3];
    char Y[4];
    char Data[40];
    char End;
};
static_assert(sizeof(TKestDocPropertyDataV08) == 54);
static_assert(offsetof(TKestDocPropertyDataV08, Data) == 13);

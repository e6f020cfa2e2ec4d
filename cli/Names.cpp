#include "Names.h"

namespace kest {

namespace {

template <class E, std::size_t N>
std::span<const TEnumName<E>> Table(const TEnumName<E> (&Entries)[N]) {
    return {Entries, N};
}

}  // namespace

#define KEST_NAME(Value) \
    { Value, #Value }

template <>
std::span<const TEnumName<TKestCodingType>> EnumNames<TKestCodingType>() {
    static constexpr TEnumName<TKestCodingType> names[] = {
        KEST_NAME(mctGeneral),
        KEST_NAME(mctMoldavian),
    };
    return Table(names);
}

template <>
std::span<const TEnumName<TKestCmdType>> EnumNames<TKestCmdType>() {
    static constexpr TEnumName<TKestCmdType> names[] = {
        KEST_NAME(mctInternal),
        KEST_NAME(mctProtocol),
        KEST_NAME(mctExternal),
    };
    return Table(names);
}

template <>
std::span<const TEnumName<TKestEcrModel>> EnumNames<TKestEcrModel>() {
    static constexpr TEnumName<TKestEcrModel> names[] = {
        KEST_NAME(memUnknown), KEST_NAME(mem207_1F), KEST_NAME(memStationF),
        KEST_NAME(memPCK),     KEST_NAME(mem207_1K), KEST_NAME(mem207_1FMD),
    };
    return Table(names);
}

template <>
std::span<const TEnumName<TKestProtocol>> EnumNames<TKestProtocol>() {
    static constexpr TEnumName<TKestProtocol> names[] = {
        KEST_NAME(mprUnknown),
        KEST_NAME(mprBS),
        KEST_NAME(mprXOnXoff),
    };
    return Table(names);
}

template <>
std::span<const TEnumName<TKestConnState>> EnumNames<TKestConnState>() {
    static constexpr TEnumName<TKestConnState> names[] = {
        KEST_NAME(mcsNone),         KEST_NAME(mcsIdle),       KEST_NAME(mcsWriting),
        KEST_NAME(mcsReading),      KEST_NAME(mcsNoResponse), KEST_NAME(mcsPrinterError),
        KEST_NAME(mcsDisplayError),
    };
    return Table(names);
}

template <>
std::span<const TEnumName<TKestDocStatus>> EnumNames<TKestDocStatus>() {
    static constexpr TEnumName<TKestDocStatus> names[] = {
        KEST_NAME(mdsUnknown), KEST_NAME(mdsClosed), KEST_NAME(mdsCached),
        KEST_NAME(mdsOpened),  KEST_NAME(mdsTotal),  KEST_NAME(mdsCompleted),
        KEST_NAME(mdsReceipt), KEST_NAME(mdsCustom), KEST_NAME(mdsForm),
    };
    return Table(names);
}

template <>
std::span<const TEnumName<TKestOperType>> EnumNames<TKestOperType>() {
    static constexpr TEnumName<TKestOperType> names[] = {
        KEST_NAME(motUnknown),        KEST_NAME(motSale),       KEST_NAME(motRefund),
        KEST_NAME(motRefundCashless), KEST_NAME(motVoid),       KEST_NAME(motCashIn),
        KEST_NAME(motCashOut),        KEST_NAME(motBuying),     KEST_NAME(motBuyingRefund),
        KEST_NAME(motBuyingVoid),     KEST_NAME(motDayOpening), KEST_NAME(motXReport),
        KEST_NAME(motZReport),
    };
    return Table(names);
}

template <>
std::span<const TEnumName<TKestPayType>> EnumNames<TKestPayType>() {
    static constexpr TEnumName<TKestPayType> names[] = {
        KEST_NAME(mptCash),       KEST_NAME(mptCredit),   KEST_NAME(mptCard),
        KEST_NAME(mptCashCredit), KEST_NAME(mptCashCard),
    };
    return Table(names);
}

template <>
std::span<const TEnumName<TKestItemType>> EnumNames<TKestItemType>() {
    static constexpr TEnumName<TKestItemType> names[] = {
        KEST_NAME(mitItem),     KEST_NAME(mitPercentAdj),     KEST_NAME(mitAmountAdj),
        KEST_NAME(mitVoidItem), KEST_NAME(mitVoidPercentAdj), KEST_NAME(mitVoidAmountAdj),
    };
    return Table(names);
}

template <>
std::span<const TEnumName<TKestOperInfo>> EnumNames<TKestOperInfo>() {
    static constexpr TEnumName<TKestOperInfo> names[] = {
        KEST_NAME(moiNumber),
        KEST_NAME(moiName),
        KEST_NAME(moiNumberName),
    };
    return Table(names);
}

#undef KEST_NAME

}  // namespace kest

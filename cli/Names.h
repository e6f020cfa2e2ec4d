// Names of the driver's enumerations as scripts and windows show them: the
// enumerators' own identifiers ("mem207_1F", "mcsIdle"), so that a script reads
// like the code it drives.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "KestorFPrt.h"

namespace kest {

template <class E>
struct TEnumName {
    E Value;
    std::string_view Name;
};

// The table of one enumeration, in declaration order. Declared for every
// enumeration of the driver's interface; defined in Names.cpp.
template <class E>
std::span<const TEnumName<E>> EnumNames();

template <>
std::span<const TEnumName<TKestCodingType>> EnumNames<TKestCodingType>();
template <>
std::span<const TEnumName<TKestCmdType>> EnumNames<TKestCmdType>();
template <>
std::span<const TEnumName<TKestEcrModel>> EnumNames<TKestEcrModel>();
template <>
std::span<const TEnumName<TKestProtocol>> EnumNames<TKestProtocol>();
template <>
std::span<const TEnumName<TKestConnState>> EnumNames<TKestConnState>();
template <>
std::span<const TEnumName<TKestDocStatus>> EnumNames<TKestDocStatus>();
template <>
std::span<const TEnumName<TKestOperType>> EnumNames<TKestOperType>();
template <>
std::span<const TEnumName<TKestPayType>> EnumNames<TKestPayType>();
template <>
std::span<const TEnumName<TKestItemType>> EnumNames<TKestItemType>();
template <>
std::span<const TEnumName<TKestOperInfo>> EnumNames<TKestOperInfo>();

// Empty for a value outside the table.
template <class E>
std::string_view NameOf(E Value) {
    for (const auto& entry : EnumNames<E>())
        if (entry.Value == Value) return entry.Name;
    return {};
}

template <class E>
std::optional<E> ValueOf(std::string_view Name) {
    for (const auto& entry : EnumNames<E>())
        if (entry.Name == Name) return entry.Value;
    return std::nullopt;
}

}  // namespace kest

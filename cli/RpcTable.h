// The operation and property tables of `kestorctl rpc` and the conversions of
// values between JSON and the driver's types.
//
// Adding an operation is one row in RpcTable.cpp: a name and a lambda whose
// first parameter is the driver and whose further parameters are the JSON
// arguments in order. The parameter and result types pick the conversion
// (TCodec below); trailing std::optional parameters may be left out by the
// caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "KestorFPrt.h"
#include "Names.h"

namespace kest {

// Answers keep their members in the order written.
using TJson = nlohmann::ordered_json;

// A line that cannot be carried out as written; the driver is not called.
class ERpcMalformed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Values whose C++ type alone does not say how they look in JSON.
struct TIsoDate {  // TKestDateTime as "2026-12-06T10:15:00"
    TKestDateTime Value = 0;
};
struct THexBytes {  // raw bytes as "02 45 03"
    std::string Bytes;
};
// A graphic-header picture: byte values [90, 255] select the form that takes
// the picture's bytes, a string "5aff" the form that takes its hex text.
struct TPicture {
    std::variant<std::vector<uint8_t>, std::u16string> Value;
};

std::string ToHex(std::string_view Bytes);
// Takes "02 45 03" or "024503", either case; ERpcMalformed otherwise.
std::string FromHex(std::string_view Text);

// TCodec<T>::ToJson / FromJson. There is deliberately none for double: a
// TKestDateTime is a double, so a date must be wrapped in TIsoDate.
template <class T>
struct TCodec;

template <>
struct TCodec<bool> {
    static TJson ToJson(bool Value) { return Value; }
    static bool FromJson(const TJson& Value);
};

template <>
struct TCodec<int> {
    static TJson ToJson(int Value) { return Value; }
    static int FromJson(const TJson& Value);
};

template <>
struct TCodec<uint8_t> {
    static TJson ToJson(uint8_t Value) { return Value; }
};

template <>
struct TCodec<std::u16string> {
    static TJson ToJson(std::u16string_view Value) { return ToUtf8(Value); }
    static std::u16string FromJson(const TJson& Value);
};

// UTF-8 text passed on as bytes.
template <>
struct TCodec<std::string> {
    static TJson ToJson(const std::string& Value) { return Value; }
    static std::string FromJson(const TJson& Value);
};

template <>
struct TCodec<TKestCurrency> {
    static TJson ToJson(TKestCurrency Value) { return Value.ToString(); }
    static TKestCurrency FromJson(const TJson& Value);
};

template <>
struct TCodec<TIsoDate> {
    static TJson ToJson(TIsoDate Value) { return FormatIso(Value.Value); }
    static TIsoDate FromJson(const TJson& Value);
};

template <>
struct TCodec<THexBytes> {
    static TJson ToJson(const THexBytes& Value) { return ToHex(Value.Bytes); }
    static THexBytes FromJson(const TJson& Value) {
        return {FromHex(TCodec<std::string>::FromJson(Value))};
    }
};

template <>
struct TCodec<TPicture> {
    static TPicture FromJson(const TJson& Value);
};

// Enumerations by name; a value without a name (never expected) as its number.
template <class E>
requires std::is_enum_v<E>
struct TCodec<E> {
    static TJson ToJson(E Value) {
        const std::string_view name = NameOf(Value);
        if (name.empty()) return static_cast<int>(Value);
        return name;
    }
    static E FromJson(const TJson& Value) {
        const std::string name = TCodec<std::string>::FromJson(Value);
        if (const auto value = ValueOf<E>(name)) return *value;
        throw ERpcMalformed("unknown name \"" + name + "\"");
    }
};

// An argument the caller may leave out.
template <class T>
struct TCodec<std::optional<T>> {
    static std::optional<T> FromJson(const TJson& Value) { return TCodec<T>::FromJson(Value); }
};

// -- Rows

using TOperation = std::function<TJson(TKestorFPrt& Driver, const TJson& Args)>;
using TGetter = std::function<TJson(const TKestorFPrt& Driver)>;
using TSetter = std::function<void(TKestorFPrt& Driver, const TJson& Value)>;

// A row of the operation table. A command runs in the driver's command
// bracket and leaves ErrCode, ErrCodeEx and ErrMessage describing itself; a
// read (a status check, a stored time, a codec) does not touch them, so its
// answer carries no error fields, like a get's.
struct TOperationRow {
    TOperationRow(TOperation Body) : Call(std::move(Body)) {}  // a command
    TOperation Call;
    bool Command = true;
};
using TOperationTable = std::map<std::string_view, TOperationRow, std::less<>>;
using TGetterTable = std::map<std::string_view, TGetter, std::less<>>;
using TSetterTable = std::map<std::string_view, TSetter, std::less<>>;

const TOperationTable& Operations();
const TGetterTable& Getters();
const TSetterTable& Setters();

namespace rpc_detail {

template <class T>
struct TIsOptional : std::false_type {};
template <class T>
struct TIsOptional<std::optional<T>> : std::true_type {};

// The type a parameter is converted to: a view parameter needs an owner.
template <class T>
struct TStored {
    using Type = std::remove_cvref_t<T>;
};
template <class T>
requires std::is_same_v<std::remove_cvref_t<T>, std::u16string_view>
struct TStored<T> {
    using Type = std::u16string;
};
template <class T>
using TStoredT = typename TStored<T>::Type;

template <class T>
T ArgAt(const TJson& Args, std::size_t Index) {
    if (Index >= Args.size()) return T{};  // an optional left out: counted before
    try {
        return TCodec<T>::FromJson(Args[Index]);
    } catch (const ERpcMalformed& e) {
        throw ERpcMalformed("argument " + std::to_string(Index + 1) + ": " + e.what());
    }
}

template <class Result, class Call>
TJson Answer(Call&& Invoke) {
    if constexpr (std::is_void_v<Result>) {
        Invoke();
        return nullptr;
    } else {
        return TCodec<std::remove_cvref_t<Result>>::ToJson(Invoke());
    }
}

template <class Fn, class Result, class... Params>
TOperation MakeOperation(Fn Body, Result (Fn::*)(TKestorFPrt&, Params...) const) {
    return [Body](TKestorFPrt& Driver, const TJson& Args) -> TJson {
        constexpr std::size_t total = sizeof...(Params);
        constexpr std::size_t optional = (0 + ... + TIsOptional<TStoredT<Params>>::value);
        if (Args.size() < total - optional || Args.size() > total) {
            throw ERpcMalformed(
                "expected " +
                (optional ? std::to_string(total - optional) + " to " : std::string()) +
                std::to_string(total) + " argument(s), got " + std::to_string(Args.size()));
        }
        // Braced initialisation converts the arguments from left to right.
        auto values = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return std::tuple<TStoredT<Params>...>{ArgAt<TStoredT<Params>>(Args, I)...};
        }
        (std::index_sequence_for<Params...>{});
        return Answer<Result>([&]() -> decltype(auto) {
            return std::apply(
                [&](auto&... Values) -> decltype(auto) { return Body(Driver, Values...); }, values);
        });
    };
}

}  // namespace rpc_detail

// An operation: Body(TKestorFPrt&, Args...) -> void or a value with a TCodec.
template <class Fn>
TOperation Op(Fn Body) {
    return rpc_detail::MakeOperation(Body, &Fn::operator());
}

// A read: an operation that neither exchanges nor records an error.
template <class Fn>
TOperationRow Read(Fn Body) {
    TOperationRow row(Op(Body));
    row.Command = false;
    return row;
}

// A property read through a public getter of the driver.
template <class Result>
TGetter Get(Result (TKestorFPrt::*Getter)() const) {
    return [Getter](const TKestorFPrt& Driver) {
        return TCodec<std::remove_cvref_t<Result>>::ToJson((Driver.*Getter)());
    };
}

// A date-time property: the same double as a number of days, shown as ISO 8601.
inline TGetter GetDate(TKestDateTime (TKestorFPrt::*Getter)() const) {
    return [Getter](const TKestorFPrt& Driver) {
        return TCodec<TIsoDate>::ToJson({(Driver.*Getter)()});
    };
}

// A property written through a public setter, so the driver checks the value.
template <class Param>
TSetter Set(void (TKestorFPrt::*Setter)(Param)) {
    return [Setter](TKestorFPrt& Driver, const TJson& Value) {
        const auto value = TCodec<rpc_detail::TStoredT<Param>>::FromJson(Value);
        (Driver.*Setter)(value);
    };
}

}  // namespace kest

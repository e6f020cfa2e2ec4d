#include "Rpc.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <typeinfo>
#include <vector>
#if defined(__GNUC__) || defined(__clang__)
#include <cxxabi.h>
#endif

namespace kest {

namespace {

std::string Demangle(const char* Name) {
#if defined(__GNUC__) || defined(__clang__)
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> text(
        abi::__cxa_demangle(Name, nullptr, nullptr, &status), &std::free);
    std::string result = status == 0 && text ? text.get() : Name;
#else
    std::string result = Name;
    for (const std::string_view prefix : {"class ", "struct "})
        if (result.starts_with(prefix)) result.erase(0, prefix.size());
#endif
    return result;
}

// The standard libraries' inline namespaces are not part of the name a
// program writes: "std::__cxx11::..." is std::..., "...[abi:cxx11]" likewise.
std::string StripInlineNamespaces(std::string Name) {
    for (const std::string_view noise : {"__cxx11::", "__1::", "[abi:cxx11]"}) {
        for (auto pos = Name.find(noise); pos != std::string::npos; pos = Name.find(noise))
            Name.erase(pos, noise.size());
    }
    return Name;
}

enum class TLineRead { Line, TooLong, End };

// Reads the next line (without its newline) into Line. Of a line longer than
// RpcMaxRequestBytes no more is kept: the rest is read and dropped.
TLineRead ReadLine(std::istream& In, std::string& Line) {
    using TTraits = std::istream::traits_type;
    Line.clear();
    std::streambuf& in = *In.rdbuf();
    bool any = false, tooLong = false;
    for (int c = in.sbumpc(); c != TTraits::eof(); c = in.sbumpc()) {
        any = true;
        if (c == '\n') break;
        if (Line.size() < RpcMaxRequestBytes)
            Line += TTraits::to_char_type(c);
        else
            tooLong = true;
    }
    if (!any) return TLineRead::End;
    return tooLong ? TLineRead::TooLong : TLineRead::Line;
}

std::string_view Trim(std::string_view Text) {
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = Text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return Text.substr(first, Text.find_last_not_of(blanks) - first + 1);
}

TJson Malformed(const std::string& What) {
    return TJson{{"ok", false}, {"error", What}};
}

const TJson& Member(const TJson& Request, const char* Name) {
    static const TJson none;
    const auto it = Request.find(Name);
    return it == Request.end() ? none : *it;
}

std::string NameMember(const TJson& Request, const char* Key) {
    const TJson& name = Member(Request, Key);
    if (!name.is_string()) throw ERpcMalformed(std::string("\"") + Key + "\" must be a string");
    return name.get<std::string>();
}

// What a request asks for: the call converts the arguments (ERpcMalformed)
// and calls the driver; Command tells whether the driver's last error is the
// call's own.
struct TResolved {
    std::function<TJson(TKestorFPrt&)> Call;
    bool Command;
};

TResolved Resolve(const TJson& Request) {
    const int kinds = static_cast<int>(Request.contains("op")) +
                      static_cast<int>(Request.contains("get")) +
                      static_cast<int>(Request.contains("set"));
    if (kinds != 1) throw ERpcMalformed("expected exactly one of \"op\", \"get\", \"set\"");

    // Every other member is a misspelling the caller would want to hear about.
    const std::string_view extra = Request.contains("op")    ? "args"
                                   : Request.contains("set") ? "value"
                                                             : "";
    for (const auto& item : Request.items()) {
        const std::string& key = item.key();
        if (key != "op" && key != "get" && key != "set" && key != "id" &&
            (extra.empty() || key != extra))
            throw ERpcMalformed("unexpected member \"" + key + "\"");
    }

    if (Request.contains("op")) {
        const std::string name = NameMember(Request, "op");
        const auto& table = Operations();
        const auto it = table.find(name);
        if (it == table.end()) throw ERpcMalformed("unknown operation \"" + name + "\"");
        const TJson& args = Member(Request, "args");
        if (!args.is_null() && !args.is_array()) throw ERpcMalformed("\"args\" must be an array");
        const TJson argList = args.is_null() ? TJson::array() : args;
        return {
            [&op = it->second.Call, argList](TKestorFPrt& Driver) { return op(Driver, argList); },
            it->second.Command};
    }
    if (Request.contains("get")) {
        const std::string name = NameMember(Request, "get");
        const auto& table = Getters();
        const auto it = table.find(name);
        if (it == table.end()) throw ERpcMalformed("unknown property \"" + name + "\"");
        return {[&get = it->second](TKestorFPrt& Driver) { return get(Driver); }, false};
    }
    const std::string name = NameMember(Request, "set");
    const auto& table = Setters();
    const auto it = table.find(name);
    if (it == table.end()) throw ERpcMalformed("unknown or read-only property \"" + name + "\"");
    if (!Request.contains("value")) throw ERpcMalformed("\"set\" needs a \"value\"");
    return {[&set = it->second, value = Request.at("value")](TKestorFPrt& Driver) {
                try {
                    set(Driver, value);
                } catch (const ERpcMalformed& e) {
                    throw ERpcMalformed(std::string("value: ") + e.what());
                }
                return TJson();
            },
            true};
}

// The outcome of a request object: ok, result and, for a command, its error.
TJson Call(TKestorFPrt& Driver, const TJson& Request) {
    TJson result;
    std::string exception;
    bool command = false;
    try {
        const TResolved resolved = Resolve(Request);
        command = resolved.Command;
        result = resolved.Call(Driver);
    } catch (const ERpcMalformed& e) {
        return Malformed(e.what());
    } catch (const std::exception& e) {
        exception = ExceptionClassName(e);
    } catch (...) {
        exception = "unknown";
    }
    const bool ok = exception.empty();
    TJson answer{{"ok", ok}, {"result", ok ? std::move(result) : TJson()}};
    if (!ok) answer["exception"] = exception;
    // A get or a read leaves the last error alone; it belongs to an earlier
    // call and would read as this one's. It stays readable as ErrCode etc.
    if (!command) return answer;
    answer["ErrCode"] = Driver.ErrCode();
    answer["ErrCodeEx"] = Driver.ErrCodeEx();
    answer["ErrMessage"] = ToUtf8(Driver.ErrMessage());
    return answer;
}

// The text of the number that is the "id" of each request, in the order of
// the requests (a lone one, or the elements of an array), empty for an id
// that is no number or none. Integers keep their value in the parsed JSON;
// only a number held as a double may read otherwise when written again.
class TIdTexts {
public:
    std::vector<std::string> Ids;

    bool null() { return Scalar(); }
    bool boolean(bool) { return Scalar(); }
    bool number_integer(TJson::number_integer_t) { return Scalar(); }
    bool number_unsigned(TJson::number_unsigned_t) { return Scalar(); }
    bool number_float(TJson::number_float_t, const std::string& Text) {
        const bool id = FAtId;
        Scalar();
        if (id) Ids.back() = Text;
        return true;
    }
    bool string(std::string&) { return Scalar(); }
    bool binary(TJson::binary_t&) { return Scalar(); }
    bool start_object(std::size_t) { return Open(false); }
    bool start_array(std::size_t) { return Open(true); }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }
    bool key(std::string& Key) {
        FAtId = FDepth == (FBatch ? 2 : 1) && Key == "id";
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

private:
    // A value begins: at the top, or as an element of the top array, it is a request.
    void Begin(bool Array) {
        if (FDepth == 0 && Array)
            FBatch = true;
        else if (FDepth == (FBatch ? 1 : 0))
            Ids.emplace_back();
    }
    bool Scalar() {
        Begin(false);
        FAtId = false;
        return true;
    }
    bool Open(bool Array) {
        Begin(Array);
        FAtId = false;
        ++FDepth;
        return true;
    }
    bool Close() {
        --FDepth;
        FAtId = false;
        return true;
    }

    int FDepth = 0;
    bool FBatch = false;
    bool FAtId = false;
};

std::string Dump(const TJson& Value) {
    // Replacing bad UTF-8 keeps one odd byte from spoiling the answer.
    return Value.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

bool HasFloatId(const TJson& Answer) {
    if (!Answer.is_object()) return false;
    const auto id = Answer.find("id");
    return id != Answer.end() && id->is_number_float();
}

}  // namespace

std::string DumpAnswer(const TJson& Answer, std::string_view RequestText) {
    const bool batch = Answer.is_array();
    if (batch ? std::none_of(Answer.begin(), Answer.end(), HasFloatId) : !HasFloatId(Answer))
        return Dump(Answer);
    TIdTexts ids;
    TJson::sax_parse(RequestText, &ids);
    const auto one = [&ids](const TJson& Item, std::size_t Index) {
        std::string text = Dump(Item);
        if (!HasFloatId(Item) || Index >= ids.Ids.size() || ids.Ids[Index].empty()) return text;
        // The id is the answer's first member.
        const std::string head = R"({"id":)" + Dump(Item["id"]);
        if (text.starts_with(head)) text.replace(0, head.size(), R"({"id":)" + ids.Ids[Index]);
        return text;
    };
    if (!batch) return one(Answer, 0);
    std::string text = "[";
    for (std::size_t i = 0; i < Answer.size(); ++i)
        text += (i > 0 ? "," : "") + one(Answer[i], i);
    return text + "]";
}

std::string ExceptionClassName(const std::exception& Error) {
    return StripInlineNamespaces(Demangle(typeid(Error).name()));
}

TJson ParseRpcJson(std::string_view Text) {
    // The parser would take a NUL for the end of the text and ignore the rest.
    if (Text.find('\0') != std::string_view::npos) throw ERpcMalformed("a NUL byte in the line");
    // Values deeper than RpcMaxDepth are never built, so that nothing copies or
    // destroys a nesting deep enough to overflow the stack; the parser itself
    // keeps its nesting on the heap.
    bool tooDeep = false;
    const auto limitDepth = [&tooDeep](int Depth, TJson::parse_event_t Event, TJson&) {
        if ((Event == TJson::parse_event_t::object_start ||
             Event == TJson::parse_event_t::array_start) &&
            Depth >= RpcMaxDepth) {
            tooDeep = true;
            return false;
        }
        return true;
    };
    TJson value;
    try {
        value = TJson::parse(Text, limitDepth);
    } catch (const TJson::parse_error& e) {
        throw ERpcMalformed(std::string("not JSON: ") + e.what());
    } catch (const TJson::exception& e) {  // a number too large for a double
        throw ERpcMalformed(std::string("unusable JSON: ") + e.what());
    }
    if (tooDeep)
        throw ERpcMalformed("nested more than " + std::to_string(RpcMaxDepth) + " levels deep");
    return value;
}

TJson AnswerRequest(TKestorFPrt& Driver, const TJson& Request) {
    if (!Request.is_object()) return Malformed("not a JSON object");
    TJson answer = TJson::object();
    if (const auto id = Request.find("id"); id != Request.end()) answer["id"] = *id;
    TJson outcome = Call(Driver, Request);
    for (auto& item : outcome.items())
        answer[item.key()] = std::move(item.value());
    return answer;
}

TJson StatusJson(const TKestorFPrt& Driver) {
    return {
        {"EcrStatus", Driver.EcrStatus()},
        {"EcrStatusMask", Driver.EcrStatusMask()},
        {"DevStatus", Driver.DevStatus()},
        {"DevStatusMask", Driver.DevStatusMask()},
        {"DocStatus", TCodec<TKestDocStatus>::ToJson(Driver.GetDocStatus())},
    };
}

TRpcEvents::TRpcEvents(TKestorFPrt& Driver, TSink Sink) : FDriver(Driver), FSink(std::move(Sink)) {
    const auto data = [this](const char* Direction) {
        return [this, Direction](TKestorFPrt&, const void* Data, int Size) {
            FSink(
                {{"event", Direction},
                 {"hex", ToHex({static_cast<const char*>(Data), static_cast<std::size_t>(Size)})}});
        };
    };
    FDriver.OnDataSend = data("send");
    FDriver.OnDataReceive = data("receive");
    const auto question = [this](const char* Name) {
        return [this, Name](TKestorFPrt& Sender) {
            Sender.SetRetryOperation(FSink({{"event", Name}}));
        };
    };
    FDriver.OnNoResponse = question("no-response");
    FDriver.OnPrinterError = question("printer-error");
    FDriver.OnDisplayError = question("display-error");
    FDriver.OnStatusUpdate = [this](TKestorFPrt& Sender) {
        TJson event{{"event", "status"}};
        event.update(StatusJson(Sender));
        FSink(event);
    };
    FDriver.OnConnStateUpdate = [this](TKestorFPrt& Sender) {
        FSink({{"event", "conn"},
               {"ConnState", TCodec<TKestConnState>::ToJson(Sender.ConnState())},
               {"Connected", Sender.Connected()}});
    };
}

TRpcEvents::~TRpcEvents() {
    // The handlers refer to this object.
    FDriver.OnDataSend = nullptr;
    FDriver.OnDataReceive = nullptr;
    FDriver.OnNoResponse = nullptr;
    FDriver.OnPrinterError = nullptr;
    FDriver.OnDisplayError = nullptr;
    FDriver.OnStatusUpdate = nullptr;
    FDriver.OnConnStateUpdate = nullptr;
}

TRpcSession::TRpcSession(TKestorFPrt& Driver, std::ostream& Out, bool Trace, bool RetryDeviceErrors)
    : FDriver(Driver),
      FOut(Out),
      // A printer or display error is retried or cancelled as asked; waiting
      // for a silent register is not kept up, so the call ends with
      // EKestNoResponse.
      FEvents(Driver, [this, Trace, RetryDeviceErrors](const TJson& Event) {
          if (Trace) Write(Event);
          const auto& name = Event["event"].get_ref<const std::string&>();
          return RetryDeviceErrors && (name == "printer-error" || name == "display-error");
      }) {}

TRpcSession::~TRpcSession() = default;

void TRpcSession::Run(std::istream& In) {
    std::string line;
    for (;;) {
        switch (ReadLine(In, line)) {
            case TLineRead::End:
                return;
            case TLineRead::TooLong:
                Write(
                    Malformed("line longer than " + std::to_string(RpcMaxRequestBytes) + " bytes"));
                break;
            case TLineRead::Line:
                HandleLine(line);
                break;
        }
    }
}

void TRpcSession::HandleLine(std::string_view Line) {
    Line = Trim(Line);
    if (Line.empty()) return;
    try {
        const TJson answer = AnswerRequest(FDriver, ParseRpcJson(Line));
        FOut << DumpAnswer(answer, Line) << '\n' << std::flush;
    } catch (const ERpcMalformed& e) {
        Write(Malformed(e.what()));
    }
}

void TRpcSession::Write(const TJson& Line) {
    FOut << Dump(Line) << '\n' << std::flush;
}

}  // namespace kest

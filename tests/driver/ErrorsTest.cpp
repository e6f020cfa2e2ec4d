// The exception tree's codes and messages, and how the driver records failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <system_error>

#include "KestorFPrt.h"

namespace {

TEST(Errors, RegisterErrorMessages) {
    struct Case {
        int Code;
        std::u16string_view Detail;
        std::u16string_view Message;
    } cases[] = {
        {2, u"", u"Ошибка ККМ:\r\nне закрыта смена (2)"},
        {10, u"", u"Ошибка ККМ:\r\nоперация прервана пользователем (10)"},
        {30, u"", u"Ошибка ККМ:\r\nневерная  контрольная сумма (BCC) (30)"},
        {80, u"", u"Ошибка ККМ:\r\nданные ЭКЛЗ и фискальной памяти различаются (80)"},
        {35, u"", u"Ошибка ККМ (35)"},
        {200, u"", u"Ошибка ККМ (200)"},
        {12, u"при печати", u"Ошибка ККМ:\r\nне открыта смена (12) при печати"},
    };
    for (const auto& c : cases) {
        EKestEcrError e(c.Code, c.Detail);
        EXPECT_EQ(e.ErrCode(), 18);
        EXPECT_EQ(e.ErrCodeEx(), c.Code);
        EXPECT_EQ(e.Message(), c.Message) << c.Code;
    }
    // Codes between the listed ones carry no text.
    for (int code : {32, 34, 38, 58, 69})
        EXPECT_EQ(EKestEcrError(code).Message().find(u":\r\n"), std::u16string::npos) << code;
}

TEST(Errors, FixedCodesAndComposedMessages) {
    EKestBadResponse bcc(7, u":\r\nневерная контрольная сумма пакета");
    EXPECT_EQ(bcc.ErrCode(), 15);
    EXPECT_EQ(bcc.ErrCodeEx(), 7);
    EXPECT_EQ(bcc.Message(), u"Неверный ответ ККМ:\r\nневерная контрольная сумма пакета");
    EXPECT_STREQ(bcc.what(), "Неверный ответ ККМ:\r\nневерная контрольная сумма пакета");

    const std::pair<int, int> codes[] = {
        {EKestRequestAborted().ErrCode(), -1},    {EKestConnOpened().ErrCode(), 1},
        {EKestConnClosed().ErrCode(), 2},         {EKestNoResponse().ErrCode(), 3},
        {EKestUnknownDevice().ErrCode(), 4},      {EKestNoConversion(0).ErrCode(), 5},
        {EKestUnsupported(u"").ErrCode(), 6},     {EKestDocOverflow().ErrCode(), 7},
        {EKestNoDocument().ErrCode(), 8},         {EKestDocOpened().ErrCode(), 9},
        {EKestForbidden(u"").ErrCode(), 10},      {EKestForbiddenVersion(u"").ErrCode(), 11},
        {EKestDuplication(3, u"").ErrCode(), 12}, {EKestNoProperty(3, u"").ErrCode(), 13},
        {EKestInvalidArg(1, u"").ErrCode(), 14},
    };
    for (auto [actual, expected] : codes)
        EXPECT_EQ(actual, expected);

    EXPECT_EQ(EKestNoResponse().Message(), u"ККМ не отвечает");
    EXPECT_EQ(EKestUnsupported(u":\r\nзапрос").Message(),
              u"Операция не поддерживается используемой ККМ:\r\nзапрос");
    EXPECT_EQ(EKestNoConversion(0).Message(), u"Невозможно произвести перекодировку строки");
    const std::u16string conv = EKestNoConversion(EILSEQ, u"поле").Message();
    EXPECT_EQ(conv, u"Невозможно произвести перекодировку строки:\r\n" +
                        kest::FromUtf8(std::system_category().message(EILSEQ)) + u" (" +
                        kest::FromUtf8(std::to_string(EILSEQ)) + u") поле");

    // The groups let callers tell line problems from refusals and document errors.
    EXPECT_THROW(throw EKestNoResponse(), EKestConnection);
    EXPECT_THROW(throw EKestForbidden(u""), EKestDocError);
}

// Exposes the command bracket.
class TBracketProbe : public TKestorFPrt {
public:
    template <class F>
    void Run(F&& f) {
        RunCmd(f);
    }
};

TEST(Errors, HandleErrorRecordsAndRethrows) {
    TBracketProbe drv;
    EXPECT_EQ(drv.ErrCode(), 0);
    EXPECT_EQ(drv.ErrMessage(), u"");

    EXPECT_THROW(drv.Run([] { throw EKestEcrError(2); }), EKestEcrError);
    EXPECT_EQ(drv.ErrCode(), 18);
    EXPECT_EQ(drv.ErrCodeEx(), 2);
    EXPECT_EQ(drv.ErrMessage(), u"Ошибка ККМ:\r\nне закрыта смена (2)");

    drv.Run([] {});
    EXPECT_EQ(drv.ErrCode(), 0);
    EXPECT_EQ(drv.ErrCodeEx(), 0);
    EXPECT_EQ(drv.ErrMessage(), u"Нет ошибки");

    EXPECT_THROW(drv.Run([] { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_EQ(drv.ErrCode(), 16);
    EXPECT_EQ(drv.ErrMessage(), u"Недостаточно памяти для выполнения операции");

    const std::error_code enoent(ENOENT, std::system_category());
    EXPECT_THROW(drv.Run([&] { throw std::system_error(enoent, "open"); }), std::system_error);
    EXPECT_EQ(drv.ErrCode(), 17);
    EXPECT_EQ(drv.ErrCodeEx(), ENOENT);
    EXPECT_EQ(drv.ErrMessage(), u"Ошибка операционной системы:\r\n" +
                                    kest::FromUtf8(enoent.message()) + u" (" +
                                    kest::FromUtf8(std::to_string(ENOENT)) + u")");

    EXPECT_THROW(drv.Run([] { throw std::runtime_error("сбой"); }), std::runtime_error);
    EXPECT_EQ(drv.ErrCode(), 999);
    EXPECT_EQ(drv.ErrCodeEx(), 0);
    EXPECT_EQ(drv.ErrMessage(), u"сбой");

    EXPECT_THROW(drv.Run([] { throw 42; }), int);
    EXPECT_EQ(drv.ErrCode(), 999);
    EXPECT_EQ(drv.ErrMessage(), u"Неизвестная ошибка");
}

}  // namespace

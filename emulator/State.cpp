#include "State.h"

#include "Commands.h"

namespace kest::emu {

namespace {

struct TInitialText {
    int Number;
    std::u16string_view Text;
};

constexpr TInitialText InitialTexts[] = {
    {0, u"КАССОВЫЙ ЧЕК"},
    {1, u"ТОВАРНЫЙ ЧЕК"},
    {2, u"КВИТАНЦИЯ"},
    {3, u"СЧЁТ"},
    {4, u"НАКЛАДНАЯ"},
    {DepartmentBase + 0, u"Общий"},
    {DepartmentBase + 1, u"Бакалея"},
    {DepartmentBase + 2, u"Молочные продукты"},
    {DepartmentBase + 3, u"Хлеб"},
    {DepartmentBase + 4, u"Овощи и фрукты"},
    {HeaderBase + 0, u"ООО \"Ромашка\""},
    {HeaderBase + 1, u"г. Москва, ул. Садовая, д. 1"},
    {HeaderBase + 2, u"Магазин \"Продукты\""},
    {HeaderBase + 3, u"Спасибо за покупку!"},
    {OperatorBase + 0, u"Администратор"},
    {OperatorBase + 1, u"Кассир Иванова А.П."},
    {OperatorBase + 2, u"Кассир Петров С.В."},
};

struct TInitialTax {
    int Rate;
    std::u16string_view Name;
};

constexpr TInitialTax InitialTaxes[TaxCount] = {
    {1800, u"НДС 18%"}, {1000, u"НДС 10%"}, {0, u"НДС 0%"}, {0, u"Без НДС"}, {500, u"НСП 5%"},
};

// Counters as State.h names them: sales, refunds, cash in, cash out, the sales
// by payment kind (they add up to the sales), ..., the drawer (the cash sales
// less refunds, plus cash in, less cash out) and the grand total.
constexpr TCounter InitialCounters[CounterCount] = {
    {57, 4825000}, {2, 35000}, {1, 500000}, {1, 200000}, {43, 3150000}, {12, 1540000},  {2, 135000},
    {0, 0},        {0, 0},     {0, 0},      {0, 0},      {0, 3415000},  {0, 104527550},
};

TKestDateTime At(int Year, int Month, int Day, int Hour, int Minute) {
    return MakeDateTime({.Year = Year, .Month = Month, .Day = Day, .Hour = Hour, .Minute = Minute});
}

}  // namespace

std::string RegisterText(std::u16string_view Text, int Width, TKestCodingType Coding) {
    std::string field = TextField(Text, Width, Coding);
    return field.substr(0, field.find('\0'));
}

void InitServiceState(TEcrState& State, const TConfig& Config) {
    State.SubVersion = SubVersionOf(Config.Model, Config.Firmware);
    State.HasExtendedStatus = HasInWaitStatus(Config.Model, Config.Firmware);

    for (const TInitialText& t : InitialTexts)
        State.Texts[t.Number] = RegisterText(t.Text, ValueWidth, State.Coding);
    State.TaxPayerNumber = "7701234567";
    State.RegNumber = "00012345";
    State.Settings = {.PrinterTimeout = 30,
                      .DisplayTimeout = 30,
                      .PrinterContrast = 4,
                      .Leading = 3,
                      .EconomicMode = 1,
                      .PaperJournal = State.Model->ProtectedJournal ? 1 : 0};
    for (int i = 0; i < TaxCount; ++i)
        State.Taxes[i] = {InitialTaxes[i].Rate,
                          RegisterText(InitialTaxes[i].Name, TaxNameWidth, State.Coding),
                          At(2004, 1, 1, 0, 0)};
    std::ranges::copy(InitialCounters, State.Counters.begin());

    // The shift closed last evening, and its Z report was the last document.
    State.Resources = {.RewritesRemain = 4,
                       .DaysRemain = 1783,
                       .LastFiscalReport = 3,
                       .LastDayClosing = 42,
                       .DayClosed = At(2024, 3, 14, 21, 5)};
    State.LastDocument = {.Type = '5',
                          .Operator = 1,
                          .Number = 128,
                          .Receipt = 57,
                          .Report = 42,
                          .Date = State.Resources.DayClosed,
                          .Sum = 4790000,
                          .BuyingSum = 0};
    State.Journal = {.Status = 0, .Rest = State.Model->ProtectedJournal ? 1000 : 0};
}

}  // namespace kest::emu

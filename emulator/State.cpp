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

// Counters as State.h names them. The last shift was closed by its Z report,
// which cleared the shift's counters; the cash left in the drawer and the
// sales since fiscalisation remain.
constexpr TCounter InitialCounters[CounterCount] = {
    {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0},       {0, 0},         {0, 0},
    {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 3415000}, {0, 104527550},
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
    constexpr int closedShifts = 42;
    constexpr int64_t lastShiftSales = 4790000;
    State.Resources = {.RewritesRemain = 4,
                       .DaysRemain = 1783,
                       .LastFiscalReport = 3,
                       .LastDayClosing = closedShifts,
                       .DayClosed = At(2024, 3, 14, 21, 5)};
    State.LastDocument = {.Type = '5',
                          .Operator = 1,
                          .Number = 128,
                          .Receipt = 57,
                          .Report = closedShifts,
                          .Date = State.Resources.DayClosed,
                          .Sum = lastShiftSales,
                          .BuyingSum = 0};
    // The fiscal memory: the Z records of shifts 1..42, closed a day apart,
    // the earlier ones' sales spread evenly so that all of them add up to the
    // sales since fiscalisation.
    const int64_t earlier = InitialCounters[CtGrandTotal].Sum - lastShiftSales;
    for (int n = 1; n <= closedShifts; ++n) {
        const int64_t sales = n == closedShifts ? lastShiftSales
                                                : earlier / (closedShifts - 1) +
                                                      (n <= earlier % (closedShifts - 1) ? 1 : 0);
        State.DayRecords.push_back({n, State.Resources.DayClosed - (closedShifts - n), sales, 0});
    }
    State.InspectorPassword = "00000";
    State.Journal = {.Status = 0, .Rest = State.Model->ProtectedJournal ? 1000 : 0};
}

}  // namespace kest::emu

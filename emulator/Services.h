// Handlers of the register's service commands, for the command table.
#pragma once

#include <string>
#include <string_view>

#include "Commands.h"

namespace kest::emu {

// Parameters.cpp: the parameter table, texts, settings, graphic header.
TAnswer ReadParameter(TEcrState& State, const TCommand& Command, std::string_view Data);  // "\"
TAnswer ReadTitle(TEcrState& State, const TCommand& Command, std::string_view Data);  // "\" gen. 2
TAnswer SetLineParameters(TEcrState& State, const TCommand& Command, std::string_view Data);  // "W"
TAnswer SetParameter(TEcrState& State, const TCommand& Command, std::string_view Data);       // "W"
TAnswer SetHeader(TEcrState& State, const TCommand& Command, std::string_view Data);          // "9"
TAnswer SetTitle(TEcrState& State, const TCommand& Command, std::string_view Data);           // "["
TAnswer SetDepartName(TEcrState& State, const TCommand& Command, std::string_view Data);      // "V"
TAnswer SetSerialNumber(TEcrState& State, const TCommand& Command, std::string_view Data);    // "]"
TAnswer LoadGraphicHeader(TEcrState& State, const TCommand& Command, std::string_view Data);  // "3"
// The answer data to reading parameter 306, the extended device status.
std::string ExtendedStatusAnswer(const TEcrState& State);

// Information.cpp: taxes, clock, counters, last document, resources,
// re-registration.
TAnswer ReadTax(TEcrState& State, const TCommand& Command, std::string_view Data);           // "M"
TAnswer SetTax(TEcrState& State, const TCommand& Command, std::string_view Data);            // "F"
TAnswer SetClock(TEcrState& State, const TCommand& Command, std::string_view Data);          // "G"
TAnswer ReadClock(TEcrState& State, const TCommand& Command, std::string_view Data);         // "H"
TAnswer ReadLastDocument(TEcrState& State, const TCommand& Command, std::string_view Data);  // "J"
TAnswer ReadLastDocumentShort(TEcrState& State, const TCommand& Command, std::string_view Data);
TAnswer ReadCounters(TEcrState& State, const TCommand& Command, std::string_view Data);    // "L"
TAnswer ReadCounter(TEcrState& State, const TCommand& Command, std::string_view Data);     // "U"
TAnswer ReadResources(TEcrState& State, const TCommand& Command, std::string_view Data);   // "D"
TAnswer PrintResources(TEcrState& State, const TCommand& Command, std::string_view Data);  // "D"
TAnswer FiscalRewrite(TEcrState& State, const TCommand& Command, std::string_view Data);   // "A"

// Journal.cpp: the protected journal.
TAnswer ActivateJournal(TEcrState& State, const TCommand& Command, std::string_view Data);  // "X"
TAnswer JournalReport(TEcrState& State, const TCommand& Command, std::string_view Data);    // "Y"
TAnswer CloseJournalArchive(TEcrState& State, const TCommand& Command,
                            std::string_view Data);  // "Z"

// Documents.cpp: fiscal documents.
TAnswer PrintReceipt(TEcrState& State, const TCommand& Command, std::string_view Data);  // "K"
// "N" and "P"
TAnswer PrintCustomDocument(TEcrState& State, const TCommand& Command, std::string_view Data);
TAnswer PrintFiscalDocument(TEcrState& State, const TCommand& Command,
                            std::string_view Data);                                          // "S"
TAnswer CopyLastDocument(TEcrState& State, const TCommand& Command, std::string_view Data);  // "T"
TAnswer RepeatOperation(TEcrState& State, const TCommand& Command, std::string_view Data);   // "O"

// Reports.cpp: the shift and its reports.
TAnswer OpenDay(TEcrState& State, const TCommand& Command, std::string_view Data);         // "1"
TAnswer ShiftReport(TEcrState& State, const TCommand& Command, std::string_view Data);     // "5"
TAnswer ShiftReportV03(TEcrState& State, const TCommand& Command, std::string_view Data);  // "_"
TAnswer FiscalMemoryReport(TEcrState& State, const TCommand& Command,
                           std::string_view Data);  // "B"

// Output.cpp: the printer and the devices.
TAnswer StartOutput(TEcrState& State, const TCommand& Command, std::string_view Data);    // "6" "^"
TAnswer FeedAndCut(TEcrState& State, const TCommand& Command, std::string_view Data);     // "R"
TAnswer ExternalPulse(TEcrState& State, const TCommand& Command, std::string_view Data);  // "8"
// One byte of raw output in output mode: prints or shows it. Ended: the
// output mode is over, by ESC ESC (ecOk) or by a device command the register
// does not take (ecBadPrinterCommand).
int TakeOutputByte(TEcrState& State, char Byte, bool& Ended);

// ACKs a printing command sends before its answer.
inline constexpr int PrintAcks = 2;

}  // namespace kest::emu

// Field dictionary: the table, the three maps and their lookups.
#include "PluginManager/tellivar/dictionary.h"

#include <mutex>

#include "PluginManager/tellivar/feed_text.h"

const FieldEntry FieldTable[kFieldTableSize] = {
    {27, "TT", "TradeTime"}, {0, "O", "Open"}, {1, "H", "High"}, {2, "L", "Low"},
    {3, "TR", "Trade"}, {34, "T", "Tick"}, {59, "S", "Settle"}, {4, "Y", "Yest"},
    {35, "N", "Net"}, {6, "B", "Bid"}, {7, "A", "Ask"}, {8, "BB", "BBid"},
    {9, "BA", "BAsk"}, {10, "V", "Volume"}, {11, "OI", "OpenInt"}, {12, "TS", "TradeSize"},
    {13, "BS", "BidSize"}, {14, "AS", "AskSize"}, {15, "BBS", "BBidSize"}, {16, "BAS", "BAskSize"},
    {17, "TX", "TradeExg"}, {18, "BX", "BidExg"}, {19, "AX", "AskExg"}, {20, "BBX", "BBidExg"},
    {21, "BAX", "BAskExg"}, {22, "T2", "Trade2"}, {23, "T3", "Trade3"}, {24, "T4", "Trade4"},
    {25, "T5", "Trade5"}, {26, "TIV", "TickVol"}, {28, "YH", "YearHi"}, {29, "YL", "YearLo"},
    {36, "%", "NetPct"}, {37, "%R", "TradeInRangePct"}, {38, "BV", "BlockVolume"}, {39, "BT", "BlockTrades"},
    {40, "V@A", "VolAtAsk"}, {41, "TV@A", ""}, {42, "V@B", "TickVolAtAsk"}, {43, "TV@B", "TickVolAtBid"},
    {44, "TIM", "TickMagnitude"}, {45, "%Y", "TradeInYearlyRange"}, {46, "P@A", "ValueAtAsk"},
    {47, "P@B", "ValueAtBid"}, {49, "DV", "DayValue"}, {50, "MF", "MoneyFlow"}, {51, "VWAP", "VWAP"},
    {48, "QT", "TradingIndc"}, {31, "65DAV", "65DayAvgVol"}, {53, "UTV", "UpTickVol"}, {54, "UT", "UpTicks"},
    {55, "UTP", "UpTickValue"}, {56, "DTV", "DnTickVol"}, {57, "DT", "DnTicks"}, {58, "DTP", "DnTickValue"},
    {32, "TTL", "Title"}, {33, "SYM", "Symbol"}, {64, "FD", "FinancialsDate"}, {65, "BETA", "Beta"},
    {66, "SO", "SharesOutstanding"}, {67, "FLT", "Float"}, {68, "DIV", "Dividend"},
    {69, "INSO", "InsideOwnedPct"}, {70, "INTO", "InstitutionalOwnedPct"}, {71, "SI", "ShortInt"},
    {72, "SIP", "ShortIntPrev"}, {73, "SIR", "ShortIntRatio"}, {74, "CF/S", "CashFlowPerSh"},
    {75, "S/S", "SalesPerSh"}, {76, "ROE", "ReturnOnEquity"}, {77, "ROA", "ReturnOnAssets"},
    {78, "GM", "GrossMargin"}, {79, "OM", "OperatingMargin"}, {80, "PTM", "PretaxMargin"},
    {81, "IC", "IndustryCode"}, {82, "IN", "IndustryName"}, {83, "SN", "SectorName"},
    {84, "IT", "InventoryTurnover"}, {85, "AT", "AssetTurnover"}, {86, "RT", "ReceivablesTurnover"},
    {87, "R/E", "RevenuePerEmployee"}, {88, "EPS", "EarningsPerSh"}, {89, "RGR", "RevenueGrowthRate"},
    {90, "E/SGR", "EPSGrowthRate"}, {91, "DER", "DebtEquityRatioQtr"}, {92, "LTDER", "LTDebtEquityRationQtr"},
    {93, "CR", "CurrentRatioQtr"}, {94, "QR", "QuickRatioQtr"}, {95, "IP", "InsiderPurchased"},
    {96, "IS", "InsiderSold"}, {97, "BV/S", "BookValuePerSh"}, {98, "MC", "MarketCapitalization"},
    {99, "PER", "PERatio"}, {100, "DY", "DividendYield"}, {61, "BASP", "BidAskSpread"},
};

std::map<std::int16_t, std::string> FieldNameById;
std::map<std::string, std::int16_t, std::less<>> FieldIdByName;
std::map<std::string, std::string, std::less<>> HistoryFieldNames;

// Each map is filled once per loaded library, by the first factory, and only
// read afterwards: a later factory must not write it while suppliers of
// another factory read it on the feed thread.
void buildFieldDictionary() {
    static std::once_flag built;
    std::call_once(built, [] {
        for (const FieldEntry& row : FieldTable) {
            FieldNameById[row.id] = row.longName;
            FieldIdByName[row.longName] = row.id;
        }
    });
}

void buildHistoryFieldNames() {
    static std::once_flag built;
    std::call_once(built, [] {
        for (const BarFieldName& field : barFieldNames) HistoryFieldNames[field.key] = field.longName;
    });
}

const std::string& fieldNameById(std::int16_t id) {
    static const std::string empty;
    const auto it = FieldNameById.find(id);
    return it == FieldNameById.end() ? empty : it->second;
}

bool findFieldIdByName(std::string_view name, std::int16_t& id) {
    const auto it = FieldIdByName.find(name);
    if (it == FieldIdByName.end()) return false;
    id = it->second;
    return true;
}

const std::string* findHistoryField(std::string_view shortName) {
    const auto it = HistoryFieldNames.find(shortName);
    return it == HistoryFieldNames.end() ? nullptr : &it->second;
}

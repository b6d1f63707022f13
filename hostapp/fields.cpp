#include "fields.h"

#include <algorithm>

namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> splitCommas(const std::string& list) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        const auto comma = list.find(',', start);
        parts.push_back(trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos) return parts;
        start = comma + 1;
    }
}

std::string validNamesText() {
    std::string text;
    for (const std::string& name : longFieldNames()) text += (text.empty() ? "" : " ") + name;
    return text;
}

}  // namespace

const std::vector<std::string>& longFieldNames() {
    static const std::vector<std::string> names = {
        "TradeTime", "Open", "High", "Low", "Trade", "Tick", "Settle", "Yest", "Net", "Bid", "Ask", "BBid",
        "BAsk", "Volume", "OpenInt", "TradeSize", "BidSize", "AskSize", "BBidSize", "BAskSize", "TradeExg",
        "BidExg", "AskExg", "BBidExg", "BAskExg", "Trade2", "Trade3", "Trade4", "Trade5", "TickVol", "YearHi",
        "YearLo", "NetPct", "TradeInRangePct", "BlockVolume", "BlockTrades", "VolAtAsk", "TickVolAtAsk",
        "TickVolAtBid", "TickMagnitude", "TradeInYearlyRange", "ValueAtAsk", "ValueAtBid", "DayValue",
        "MoneyFlow", "VWAP", "TradingIndc", "65DayAvgVol", "UpTickVol", "UpTicks", "UpTickValue", "DnTickVol",
        "DnTicks", "DnTickValue", "Title", "Symbol", "FinancialsDate", "Beta", "SharesOutstanding", "Float",
        "Dividend", "InsideOwnedPct", "InstitutionalOwnedPct", "ShortInt", "ShortIntPrev", "ShortIntRatio",
        "CashFlowPerSh", "SalesPerSh", "ReturnOnEquity", "ReturnOnAssets", "GrossMargin", "OperatingMargin",
        "PretaxMargin", "IndustryCode", "IndustryName", "SectorName", "InventoryTurnover", "AssetTurnover",
        "ReceivablesTurnover", "RevenuePerEmployee", "EarningsPerSh", "RevenueGrowthRate", "EPSGrowthRate",
        "DebtEquityRatioQtr", "LTDebtEquityRationQtr", "CurrentRatioQtr", "QuickRatioQtr", "InsiderPurchased",
        "InsiderSold", "BookValuePerSh", "MarketCapitalization", "PERatio", "DividendYield", "BidAskSpread"};
    return names;
}

const std::vector<std::string>& defaultQuoteFields() {
    static const std::vector<std::string> fields = {"Trade", "Bid", "Ask", "Net", "Volume"};
    return fields;
}

std::optional<std::vector<std::string>> parseFieldList(const std::string& list, std::string& error) {
    const std::vector<std::string>& known = longFieldNames();
    std::vector<std::string> fields;
    for (const std::string& name : splitCommas(list)) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            error = "unknown field '" + name + "'; valid fields (case-sensitive): " + validNamesText();
            return std::nullopt;
        }
        if (std::find(fields.begin(), fields.end(), name) == fields.end()) fields.push_back(name);
    }
    return fields;
}

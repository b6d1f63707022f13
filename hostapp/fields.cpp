#include "fields.h"

#include <CLI/CLI.hpp>
#include <fmt/ranges.h>

#include <algorithm>

#include "console.h"
#include "options.h"

namespace {

bool listed(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
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

FieldKind fieldKind(const std::string& name) {
    static const std::vector<std::string> times = {"TradeTime", "FinancialsDate"};
    static const std::vector<std::string> texts = {"Title", "Symbol", "TradingIndc", "IndustryName", "SectorName"};
    static const std::vector<std::string> prices = {"Open",   "High",   "Low",    "Trade",  "Settle", "Yest",   "Net",
                                                    "Bid",    "Ask",    "BBid",   "BAsk",   "Trade2", "Trade3", "Trade4",
                                                    "Trade5", "YearHi", "YearLo", "VWAP",   "BidAskSpread"};
    if (listed(times, name)) return FieldKind::Time;
    if (listed(prices, name)) return FieldKind::Price;
    return listed(texts, name) ? FieldKind::Text : FieldKind::Number;
}

std::vector<std::string> fieldsOfKind(const std::vector<std::string>& fields, FieldKind kind) {
    std::vector<std::string> names;
    for (const std::string& name : fields) {
        if (fieldKind(name) == kind) names.push_back(name);
    }
    return names;
}

std::string formatFieldValue(const std::string& name, const std::optional<double>& value) {
    const FieldKind kind = fieldKind(name);
    if (value && kind == FieldKind::Time) return formatIsoSeconds(*value);
    return kind == FieldKind::Price ? formatPrice(value) : formatValue(value);
}

void addFieldsOption(CLI::App& command, std::vector<std::string>& fields) {
    const auto check = [](std::string& name) -> std::string {
        const std::vector<std::string>& known = longFieldNames();
        name.erase(0, name.find_first_not_of(" \t"));  // blanks around the name
        name.erase(name.find_last_not_of(" \t") + 1);
        if (name.empty()) return "a field name is empty; give names such as Trade,Bid,Ask, separated by commas";
        if (listed(known, name)) return {};
        const std::string hint = didYouMean(name, known);
        return "unknown field '" + name + "'" +
               (hint.empty() ? fmt::format("; valid fields (case-sensitive): {}", fmt::join(known, " "))
                             : hint + "; names are case-sensitive");
    };
    const auto keep = [&fields](const std::vector<std::string>& names) {
        fields.clear();
        for (const std::string& name : names) {
            if (!listed(fields, name)) fields.push_back(name);
        }
    };
    command.add_option_function<std::vector<std::string>>("--fields", keep,
                                                          "Comma-separated long field names (default Trade,Bid,Ask,Net,Volume)")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->transform(CLI::Validator(check, "NAMES"));
}

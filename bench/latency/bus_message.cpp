// The bare bus's messages. See bus_message.h.
#include "bus_message.h"

#include <algorithm>
#include <cstring>
#include <variant>

#include "wire/wire.h"

namespace latency {

namespace {

constexpr std::size_t kStampBytes = sizeof(Nanos) + sizeof(std::uint64_t);

std::string symbolQuery(std::size_t symbol) { return DriverFeed::symbolName(symbol) + ",1"; }  // one-minute bars

}  // namespace

std::vector<std::uint8_t> busMessage(Kind kind, std::size_t symbol) {
    std::vector<std::uint8_t> message;
    if (kind == Kind::Snapshot) {
        // An update as the gateway sends it: every field the stamping feed changed.
        wire::Quote quote{1, 1, false, 1, DriverFeed::symbolName(symbol), {}};
        for (int i = 0; i < kQuotedFields; ++i) quote.fields.push_back({static_cast<std::uint8_t>(kQuotedIds[i]), 1.0});
        message = wire::encode(quote);
    } else {
        // The newest bar alone.
        wire::Stream stream{1, 1, false, false, 1, 0, symbolQuery(symbol), {wire::Bar{}}};
        message = wire::encode(stream);
    }
    message.resize(std::max(message.size(), kStampBytes));
    return message;
}

void writeStamp(std::vector<std::uint8_t>& message, Nanos stamp, std::uint64_t count) {
    if (message.size() < kStampBytes) message.resize(kStampBytes);
    std::memcpy(message.data(), &stamp, sizeof stamp);
    std::memcpy(message.data() + sizeof stamp, &count, sizeof count);
}

bool readStamp(const void* data, std::size_t size, Nanos* stamp, std::uint64_t* count) {
    if (data == nullptr || size < kStampBytes) return false;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::memcpy(stamp, bytes, sizeof *stamp);
    std::memcpy(count, bytes + sizeof *stamp, sizeof *count);
    return true;
}

std::string busSubject(Kind kind, std::size_t symbol) {
    return kind == Kind::Snapshot ? wire::quoteSubject(DriverFeed::symbolName(symbol)) : wire::streamSubject(symbolQuery(symbol));
}

bool readGatewayStamp(const void* data, std::size_t size, Nanos* stamp, std::uint64_t* count) {
    const auto message = wire::decode(data, size);
    if (!message) return false;
    if (const auto* quote = std::get_if<wire::Quote>(&*message)) {
        if (quote->image) return false;
        bool haveStamp = false, haveCount = false;
        for (const wire::FieldValue& field : quote->fields) {
            if (field.id == kQuotedIds[0]) {
                *stamp = static_cast<Nanos>(field.value);
                haveStamp = true;
            } else if (field.id == kQuotedIds[kCountQuoteField]) {
                *count = static_cast<std::uint64_t>(field.value);
                haveCount = true;
            }
        }
        return haveStamp && haveCount;
    }
    if (const auto* stream = std::get_if<wire::Stream>(&*message)) {
        if (stream->full || stream->bars.empty()) return false;
        *stamp = static_cast<Nanos>(stream->bars.back().close);
        *count = static_cast<std::uint64_t>(stream->bars.back().volume);
        return true;
    }
    return false;
}

}  // namespace latency

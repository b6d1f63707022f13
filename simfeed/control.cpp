// The stand-in feed client's one instance, the contract's exported pointer
// to it, and the control surface of control.h.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "simfeed/calendar.h"
#include "simfeed/client.h"
#include "simfeed/control.h"

// ---- The instance and the exported surface ------------------------------------------

namespace {

// SIMFEED_MARKET: "24x7" trades every day, anything else Monday to Friday.
void applyMarketEnvironment() {
    const char* market = std::getenv("SIMFEED_MARKET");
    simfeed::setMarketAlwaysOpen(market != nullptr && std::strcmp(market, "24x7") == 0);
}

// Made at load and freed only when the library leaves the process (see
// freeClientAtUnload), so that no host object destroyed at exit outlives it.
simfeed::SimClient* theClient = [] {
    applyMarketEnvironment();
    return new simfeed::SimClient;
}();

simfeed::SimClient& instance() { return *theClient; }

}  // namespace

// The one exported variable of the contract.
__attribute__((visibility("default"))) TellivarClient* pTellivarClient = &instance();

namespace {

// A library destructor, not a static object: it runs at dlclose, or at exit
// after every atexit handler and static destructor (host objects included)
// has run. Stops the feed thread, then frees the client with its
// instruments and every set still registered.
__attribute__((destructor)) void freeClientAtUnload() {
    pTellivarClient = nullptr;
    delete std::exchange(theClient, nullptr);  // the destructor stops the feed thread first
}

}  // namespace

// At dlclose this atexit handler runs after freeClientAtUnload: nothing left to stop.
void simfeed::stopClientAtExit() {
    if (theClient != nullptr) theClient->stopAtExit();
}


extern "C" {

void simfeed_reset(void) {
    instance().reset();
    applyMarketEnvironment();
}

void simfeed_set_demo_account(const char* user, const char* password) {
    instance().configure([&](simfeed::SimClient::Settings& s) {
        s.user = user ? user : "";
        s.password = password ? password : "";
    });
}

void simfeed_set_accept_any(int on) {
    instance().configure([&](simfeed::SimClient::Settings& s) { s.acceptAny = on != 0; });
}

void simfeed_set_update_rate(double per_second) {
    instance().configure([&](simfeed::SimClient::Settings& s) {
        s.rate = std::min(simfeed::kMaxRate, std::max(0.0, per_second));
    });
}

void simfeed_set_clock(unsigned int start, double speed) { instance().setClock(start, speed); }

void simfeed_advance_clock(double seconds) { instance().advanceClock(seconds); }

unsigned int simfeed_now(void) { return static_cast<unsigned int>(instance().now()); }

void simfeed_trade_now(void) { instance().tradeNow(); }

void simfeed_set_market_24x7(int on) { simfeed::setMarketAlwaysOpen(on != 0); }

void simfeed_drop_connection(void) { instance().dropConnection(); }

void simfeed_set_reconnect_delay_ms(int milliseconds) {
    instance().configure([&](simfeed::SimClient::Settings& s) { s.reconnectMs = std::max(0, milliseconds); });
}

void simfeed_set_connect_delay_ms(int milliseconds) {
    instance().configure([&](simfeed::SimClient::Settings& s) { s.connectMs = std::max(0, milliseconds); });
}

void simfeed_send_message(const char* text) { instance().sendMessage(text); }

void simfeed_reject_next_create(int count) {
    instance().configure([&](simfeed::SimClient::Settings& s) { s.rejectCreates = std::max(0, count); });
}

void simfeed_fail_next_history_init(int count) {
    instance().configure([&](simfeed::SimClient::Settings& s) { s.failHistory = std::max(0, count); });
}

void simfeed_stall_history(int on) {
    instance().configure([&](simfeed::SimClient::Settings& s) { s.stallHistory = on != 0; });
}

void simfeed_flush(void) { instance().flush(); }

int simfeed_live_sets(void) { return instance().liveSets(); }

int simfeed_logged_on(void) { return instance().loggedOn() ? 1 : 0; }

}  // extern "C"

#include "support/host_fakes.h"

namespace {
std::string text(const char* s) { return s == nullptr ? "<null>" : s; }
}  // namespace

void FakeLogger::add(LogLine line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
}

void FakeLogger::status(const char* text_, int code) { add({"status", text(text_), "", code}); }
void FakeLogger::error(const char* format, const char* text_) { add({"error", text(format), text(text_), 0}); }
void FakeLogger::info(const char* format, const char* text_) { add({"info", text(format), text(text_), 0}); }

std::vector<LogLine> FakeLogger::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<LogLine> FakeLogger::linesOf(const std::string& kind) const {
    std::vector<LogLine> result;
    for (const LogLine& line : lines()) {
        if (line.kind == kind) result.push_back(line);
    }
    return result;
}

void FakeLogger::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

data::HostLogger* FakeContext::logger() {
    ++loggerCalls;
    return &log;
}

unsigned int FakeNameList::count() {
    ++countCalls;
    return static_cast<unsigned int>(names.size());
}

const char* FakeNameList::at(unsigned int index) {
    if (index >= names.size() || !names[index]) return nullptr;
    return names[index]->c_str();
}

void RecordingHistoryConsumer::historyReady(data::HistorySupplier* supplier) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(supplier);
    }
    if (onReady) onReady(supplier);
}

std::vector<data::HistorySupplier*> RecordingHistoryConsumer::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

void RecordingTickConsumer::ticksChanged(data::TickSupplier* supplier) {
    ++count;
    lastSupplier = supplier;
    if (onTicks) onTicks(supplier);
}

void RecordingListener::abilityChanged(const char* providerName, data::ProviderAbility* ability) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({text(providerName), ability, ability->isOnline()});
    if (order != nullptr) order->push_back(tag);
}

std::vector<RecordingListener::Call> RecordingListener::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

void Gate::open() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
    }
    changed_.notify_all();
}

void Gate::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return open_; });
}

bool Gate::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

#include "support/ace_capture.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Record.h>

#include <ostream>

AceLogCapture::AceLogCapture() {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    previousFlags_ = log->flags();
    previous_ = ACE_Log_Msg::msg_backend(this);
    log->priority_mask(LM_SHUTDOWN | LM_TRACE | LM_DEBUG | LM_INFO | LM_NOTICE | LM_WARNING | LM_STARTUP |
                           LM_ERROR | LM_CRITICAL | LM_ALERT | LM_EMERGENCY,
                       ACE_Log_Msg::PROCESS);
    log->clr_flags(ACE_Log_Msg::STDERR);
    log->set_flags(ACE_Log_Msg::CUSTOM);
}

AceLogCapture::~AceLogCapture() {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    log->clr_flags(ACE_Log_Msg::CUSTOM);
    log->set_flags(previousFlags_);
    ACE_Log_Msg::msg_backend(previous_);
}

ssize_t AceLogCapture::log(ACE_Log_Record& record) {
    // The writing thread's ACE_Log_Msg still holds what conditional_set gave it.
    ACE_Log_Msg* writer = ACE_Log_Msg::instance();
    AceRecord captured{writer->file() != nullptr ? writer->file() : "", writer->linenum(), writer->op_status(),
                       record.type(), record.msg_data()};
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(std::move(captured));
    return 0;
}

std::vector<AceRecord> AceLogCapture::records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

std::vector<std::string> AceLogCapture::texts() const {
    std::vector<std::string> result;
    for (const AceRecord& record : records()) result.push_back(record.text);
    return result;
}

void AceLogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

std::ostream& operator<<(std::ostream& out, const AceRecord& record) {
    return out << "{" << record.path << ":" << record.line << " status " << record.status << " priority "
               << record.priority << " \"" << record.text << "\"}";
}

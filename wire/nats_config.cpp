#include "wire/nats_config.h"

#include <sstream>

namespace natsconfig {

std::vector<std::string> parseServers(const std::string& text) {
    std::vector<std::string> servers;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) servers.push_back(item);
    if (servers.empty()) servers.emplace_back(kDefaultServer);
    return servers;
}

std::string joinServers(const std::vector<std::string>& servers) {
    std::string all;
    for (const std::string& server : servers) all += (all.empty() ? "" : ",") + server;
    return all;
}

natsStatus makeOptions(const Settings& settings, natsOptions** out) {
    *out = nullptr;
    std::vector<const char*> urls;
    for (const std::string& server : settings.servers) urls.push_back(server.c_str());
    natsOptions* options = nullptr;
    natsStatus s = natsOptions_Create(&options);
    if (s == NATS_OK) s = natsOptions_SetServers(options, urls.data(), static_cast<int>(urls.size()));
    if (s == NATS_OK) s = natsOptions_SetMaxReconnect(options, -1);
    if (s == NATS_OK && !settings.name.empty()) s = natsOptions_SetName(options, settings.name.c_str());
    if (s == NATS_OK && !settings.user.empty())
        s = natsOptions_SetUserInfo(options, settings.user.c_str(), settings.password.c_str());
    if (s == NATS_OK && !settings.credentialsFile.empty())
        s = natsOptions_SetUserCredentialsFromFiles(options, settings.credentialsFile.c_str(), nullptr);
    if (s == NATS_OK && settings.sendAsap) s = natsOptions_SetSendAsap(options, true);
    if (s == NATS_OK && settings.globalDelivery) s = natsOptions_UseGlobalMessageDelivery(options, true);
    if (s == NATS_OK && settings.reconnectWaitMs > 0) s = natsOptions_SetReconnectWait(options, settings.reconnectWaitMs);
    if (s == NATS_OK && settings.connectTimeoutMs > 0) s = natsOptions_SetTimeout(options, settings.connectTimeoutMs);
    if (s != NATS_OK) {
        natsOptions_Destroy(options);
        return s;
    }
    *out = options;
    return NATS_OK;
}

}  // namespace natsconfig

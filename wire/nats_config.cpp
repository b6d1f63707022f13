#include "wire/nats_config.h"

#include <cctype>
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
    for (const std::string& server : servers) all += (all.empty() ? "" : ",") + redactServer(server);
    return all;
}

std::string redactServer(const std::string& url) {
    const std::size_t scheme = url.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t at = url.rfind('@');
    if (at == std::string::npos || at < start) return url;
    const std::size_t colon = url.find(':', start);
    if (colon == std::string::npos || colon > at) return url;  // a user name, no password
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

std::string checkServer(const std::string& url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) return "not a server URL (nats://HOST:PORT or tls://HOST:PORT)";
    const std::string kind = url.substr(0, scheme);
    if (kind != "nats" && kind != "tls") return "the scheme " + kind + ":// is neither nats:// nor tls://";
    std::string rest = url.substr(scheme + 3);
    if (const std::size_t at = rest.rfind('@'); at != std::string::npos) rest = rest.substr(at + 1);
    if (const std::size_t path = rest.find_first_of("/?#"); path != std::string::npos)
        return "text after the host and port ('" + rest.substr(path) + "')";
    std::string host = rest, port;
    if (!rest.empty() && rest.front() == '[') {  // an IPv6 address
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) return "an IPv6 address without its closing bracket";
        host = rest.substr(0, close + 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return "text after the IPv6 address";
            port = rest.substr(close + 2);
            if (port.empty()) return "an empty port";
        }
    } else if (const std::size_t colon = rest.find(':'); colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (port.empty()) return "an empty port";
    }
    if (host.empty()) return "no host";
    for (const char c : host)
        if (std::isspace(static_cast<unsigned char>(c)) != 0)
            return "a host name with '" + std::string(1, c) + "' in it";
    if (!port.empty()) {
        long number = 0;
        for (const char c : port) {
            if (std::isdigit(static_cast<unsigned char>(c)) == 0) return "the port " + port + " is not a number";
            number = number * 10 + (c - '0');
            if (number > 65535) break;
        }
        if (number < 1 || number > 65535) return "the port " + port + " is not between 1 and 65535";
    }
    return {};
}

namespace {

bool usesTls(const Settings& settings) {
    if (!settings.tlsCa.empty() || !settings.tlsCert.empty()) return true;
    for (const std::string& server : settings.servers)
        if (server.compare(0, 6, "tls://") == 0) return true;
    return false;
}

}  // namespace

std::string checkSettings(const Settings& settings) {
    if (!settings.tlsKey.empty() && settings.tlsCert.empty()) return "tls-key is given without tls-cert";
    if (!settings.tlsCert.empty() && settings.tlsKey.empty()) return "tls-cert is given without tls-key";
    if (!settings.tlsServerName.empty() && !usesTls(settings))
        return "tls-server-name is given without TLS (tls-ca, or a tls:// server)";
    return {};
}

std::string describeSecurity(const Settings& settings) {
    std::string text;
    if (!usesTls(settings)) {
        text = "without TLS settings";
    } else {
        text = settings.tlsCa.empty() ? "TLS, the server verified against the default CAs"
                                      : "TLS, the server verified against the CA " + settings.tlsCa;
        if (!settings.tlsServerName.empty()) text += " as " + settings.tlsServerName;
        text += settings.tlsCert.empty() ? ", no client certificate" : ", client certificate " + settings.tlsCert;
    }
    if (!settings.credentialsFile.empty()) text += ", credentials file " + settings.credentialsFile;
    else if (!settings.user.empty()) text += ", user " + settings.user;
    return text;
}

std::string errorText(natsStatus status) {
    const char* detail = nats_GetLastError(nullptr);
    std::string text = detail != nullptr && *detail != '\0' ? detail : natsStatus_GetText(status);
    // "(conn.c:733): SSL handshake error: ..."
    if (!text.empty() && text.front() == '(')
        if (const std::size_t end = text.find("): "); end != std::string::npos) text.erase(0, end + 3);
    return text;
}

std::string connectFailure(const Settings& settings, const std::string& text) {
    std::string out = text + "; tried " + describeSecurity(settings);
    if (usesTls(settings) && settings.tlsCert.empty() && text.find("SSL") == std::string::npos)
        out += "; a server that requires a client certificate (tls-cert, tls-key) closes the connection so";
    else if (!usesTls(settings) && text.find("SSL") != std::string::npos)
        out += "; the server requires TLS: give the CA to verify it with (tls-ca)";
    return out;
}

natsStatus makeOptions(const Settings& settings, natsOptions** out, std::string* error) {
    *out = nullptr;
    if (const std::string wrong = checkSettings(settings); !wrong.empty()) {
        if (error != nullptr) *error = wrong;
        return NATS_INVALID_ARG;
    }
    std::vector<const char*> urls;
    for (const std::string& server : settings.servers) urls.push_back(server.c_str());
    natsOptions* options = nullptr;
    natsStatus s = natsOptions_Create(&options);
    if (s == NATS_OK) s = natsOptions_SetServers(options, urls.data(), static_cast<int>(urls.size()));
    if (s == NATS_OK) s = natsOptions_SetMaxReconnect(options, -1);
    if (s == NATS_OK && !settings.name.empty()) s = natsOptions_SetName(options, settings.name.c_str());
    if (s == NATS_OK && !settings.user.empty())
        s = natsOptions_SetUserInfo(options, settings.user.c_str(), settings.password.c_str());
    std::string step = "cannot make the NATS options";
    if (s == NATS_OK && !settings.credentialsFile.empty()) {
        step = "cannot use the credentials file " + settings.credentialsFile;
        s = natsOptions_SetUserCredentialsFromFiles(options, settings.credentialsFile.c_str(), nullptr);
    }
    if (s == NATS_OK && usesTls(settings)) {
        step = "cannot turn TLS on";
        s = natsOptions_SetSecure(options, true);
    }
    if (s == NATS_OK && !settings.tlsCa.empty()) {
        step = "cannot load the CA file " + settings.tlsCa;
        s = natsOptions_LoadCATrustedCertificates(options, settings.tlsCa.c_str());
    }
    if (s == NATS_OK && !settings.tlsCert.empty()) {
        step = "cannot load the client certificate " + settings.tlsCert + " with its key " + settings.tlsKey;
        s = natsOptions_LoadCertificatesChain(options, settings.tlsCert.c_str(), settings.tlsKey.c_str());
    }
    if (s == NATS_OK && !settings.tlsServerName.empty()) {
        step = "cannot expect the server name " + settings.tlsServerName;
        s = natsOptions_SetExpectedHostname(options, settings.tlsServerName.c_str());
    }
    if (s == NATS_OK) step = "cannot make the NATS options";
    if (s == NATS_OK && settings.sendAsap) s = natsOptions_SetSendAsap(options, true);
    if (s == NATS_OK && settings.globalDelivery) s = natsOptions_UseGlobalMessageDelivery(options, true);
    if (s == NATS_OK && settings.reconnectWaitMs > 0) s = natsOptions_SetReconnectWait(options, settings.reconnectWaitMs);
    if (s == NATS_OK && settings.connectTimeoutMs > 0) s = natsOptions_SetTimeout(options, settings.connectTimeoutMs);
    if (s != NATS_OK) {
        if (error != nullptr) *error = step + ": " + errorText(s);
        natsOptions_Destroy(options);
        return s;
    }
    *out = options;
    return NATS_OK;
}

}  // namespace natsconfig

#include "sdk/cpp/transport/server.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/uuid.h"
#include "platform/log/log.h"
#include "protocol/extensions.h"
#include "sdk/cpp/transport/path_owner.h"
#include "sdk/cpp/transport/session_file.h"
#include "sdk/cpp/transport/token.h"

#include <algorithm>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace brindle::sdk {

namespace darwin = foundation::darwin;

namespace {

// The backend's extensions and the settings' extra ones, in that order, less the withheld ones;
// export_watched only beside change_notices, whose notices it is about.
foundation::Result<std::vector<std::string>> advertisedExtensions(const std::vector<std::string>& implemented,
                                                                  const ServerSettings& settings) {
    std::vector<std::string> offered = implemented;
    offered.insert(offered.end(), settings.extensions.begin(), settings.extensions.end());
    for (const std::string& extension : offered) {
        if (!wire::isExtensionName(extension)) {
            return foundation::Error::posix(
                darwin::einval, "\"" + extension + "\" cannot name an extension: use lower-case words joined by "
                                "underscores, at most " + std::to_string(wire::kMaxExtensionName) + " bytes");
        }
    }
    for (const std::string& withheld : settings.withheldExtensions) {
        if (std::find(offered.begin(), offered.end(), withheld) == offered.end()) {
            std::string known;
            for (const std::string& extension : offered) known += (known.empty() ? "" : ", ") + extension;
            return foundation::Error::posix(darwin::einval, "cannot withhold extension \"" + withheld +
                                                                "\": this server implements " +
                                                                (known.empty() ? "none" : known));
        }
    }
    std::vector<std::string> advertised;
    for (const std::string& extension : offered) {
        const bool repeated = std::find(advertised.begin(), advertised.end(), extension) != advertised.end();
        if (!repeated && !settings.withheldExtensions.contains(extension)) advertised.push_back(extension);
    }
    if (std::ranges::find(advertised, wire::extension::changeNotices) == advertised.end()) {
        std::erase(advertised, std::string(wire::extension::exportWatched));
    }
    return advertised;
}

// This process's user by name, or its decimal uid when it has none.
std::string currentUserName() {
    const uid_t uid = ::geteuid();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) return found->pw_name;
    return std::to_string(uid);
}

foundation::Result<tls::ServerCredentials> serverCredentials(const ServerSettings& settings) {
    if (settings.tlsCertificate.empty() != settings.tlsKey.empty()) {
        return foundation::Error::posix(darwin::einval, "a TLS certificate and its key go together: give both or neither");
    }
    if (settings.tlsCertificate.empty()) return tls::ServerCredentials::generate();
    return tls::ServerCredentials::load(settings.tlsCertificate, settings.tlsKey);
}

}  // namespace

foundation::Result<std::unique_ptr<RunningServer>> RunningServer::start(Backend& backend,
                                                                        const ServerSettings& settings) {
    if (settings.sessionFile.empty()) return foundation::Error::posix(darwin::einval, "no session file to write");
    if (auto refused = refuseAnotherOwnersObject(settings.sessionFile)) return *refused;
    // A session file left by a server that died is replaced; a live server's never.
    if (const auto endpoint = existingSessionEndpoint(settings.sessionFile); endpoint && serverAnswers(*endpoint)) {
        return foundation::Error::posix(darwin::eaddrinuse,
                                        "the server of " + settings.sessionFile + " still answers at " + *endpoint);
    }
    auto advertised = advertisedExtensions(backend.capabilities().extensions, settings);
    if (!advertised) return advertised.error();
    auto token = randomToken();
    if (!token) return token.error();
    const std::string endpoint = listenEndpoint(settings);
    std::shared_ptr<const tls::ServerCredentials> credentials;
    if (endpoint.starts_with("tls://")) {
        auto made = serverCredentials(settings);
        if (!made) return made.error();
        credentials = std::make_shared<const tls::ServerCredentials>(std::move(made.value()));
    }
    auto listener = Listener::listen(endpoint, settings.allowRemote, credentials);
    if (!listener) return listener.error();
    if (listener.value().isRemote() && !listener.value().isEncrypted() && !settings.allowUnencryptedRemote) {
        return foundation::Error::posix(
            darwin::eperm, "refusing to serve " + listener.value().endpoint() +
                               " beyond this machine in clear text: listen on tls:// instead "
                               "(or pass --allow-unencrypted-remote)");
    }
    if (endpoint.starts_with("tcp://")) {
        logging::error("orvel: server listens on plain {}: the token and all file data cross the network "
                       "unencrypted, and clients cannot tell this server from another (tls:// would)",
                       listener.value().endpoint());
    }

    SessionSecrets secrets{foundation::UUID::random().string(), std::move(token.value()), std::move(advertised.value())};
    std::unique_ptr<RunningServer> server(
        new RunningServer(backend, settings, std::move(listener.value()), std::move(secrets)));
    const Capabilities& capabilities = server->dispatcher_.capabilities();
    SessionFile session{server->secrets_.sessionID, server->endpoint(), server->secrets_.authToken,
                        settings.volumeName, capabilities.xattrs, capabilities.readOnly, std::nullopt, std::nullopt};
    if (credentials) session.tlsPin = credentials->fingerprint();
    if (!endpoint.starts_with("tls://") && !endpoint.starts_with("tcp://")) session.serverUser = currentUserName();
    backend.serving(server->dispatcher_.outsideChanges());
    server->backendServing_ = &backend;
    // Only a listening server announces itself.
    if (auto error = writeSessionFile(settings.sessionFile, session)) {
        server->stop();
        return *error;
    }
    server->sessionWritten_ = true;
    if (credentials) logging::info("orvel: server certificate {}", credentials->fingerprint().text());
    server->admissionThread_ = std::thread([raw = server.get()] { raw->admission_.run(); });
    logging::info("orvel: server listening at {} for {}", server->endpoint(), settings.sessionFile);
    return server;
}

RunningServer::RunningServer(Backend& backend, const ServerSettings& settings, Listener listener,
                             SessionSecrets secrets)
    : sessionFile_(settings.sessionFile),
      limits_(settings.limits),
      dispatcher_(backend, settings.limits, secrets.extensions),
      secrets_(std::move(secrets)),
      pool_(settings.threads),
      listener_(std::move(listener)),
      admission_(listener_, secrets_, Admission::Limits{limits_.maxUnauthenticated, limits_.handshakeDeadline},
                 Admission::Callbacks{[this] { return hasRoom(); }, [this](UniqueFd socket) { admit(std::move(socket)); }}) {}

RunningServer::~RunningServer() { stop(); }

bool RunningServer::hasRoom() {
    std::lock_guard lock(clientsMutex_);
    reapFinishedLocked();
    return !stopped_ && clients_.size() < limits_.maxClients;
}

void RunningServer::admit(UniqueFd socket) {
    std::lock_guard lock(clientsMutex_);
    if (stopped_) return;
    auto connection =
        Connection::create(std::move(socket), ++lastConnectionID_, dispatcher_, pool_, limits_.stallDeadline);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread reader([connection, finished]() mutable {
        connection->serve();
        connection.reset();
        finished->store(true);
    });
    clients_.push_back(Client{connection, std::move(reader), std::move(finished)});
}

void RunningServer::reapFinishedLocked() {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->finished->load()) {
            it->reader.join();
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

void RunningServer::stop() {
    std::vector<Client> clients;
    {
        std::lock_guard lock(clientsMutex_);
        if (stopped_) return;
        stopped_ = true;
        clients = std::move(clients_);
    }
    admission_.stop();
    if (admissionThread_.joinable()) admissionThread_.join();
    for (auto& client : clients) {
        if (auto connection = client.connection.lock()) connection->stop();
    }
    for (auto& client : clients) client.reader.join();
    if (backendServing_) backendServing_->stopping();
    if (sessionWritten_) ::unlink(sessionFile_.c_str());
    listener_.close();
}

}  // namespace brindle::sdk

#include "server/server.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/uuid.h"
#include "platform/log/log.h"
#include "protocol/extensions.h"
#include "server/path_owner.h"
#include "server/session_file.h"
#include "server/token.h"

#include <unistd.h>

namespace brindle::server {

using foundation::Error;

foundation::Result<std::unique_ptr<Server>> Server::start(const ServerOptions& options, ServerLimits limits) {
    auto root = ExportRoot::open(options.exportDirectory);
    if (!root) return root.error();
    if (!S_ISDIR(root.value().rootStat().st_mode)) {
        return Error::posix(foundation::darwin::enotdir, options.exportDirectory + " is not a directory");
    }
    if (auto refused = refuseAnotherOwnersObject(options.sessionFile)) return *refused;
    // A session file left by a server that died is replaced; a live server's never.
    if (const auto endpoint = existingSessionEndpoint(options.sessionFile); endpoint && serverAnswers(*endpoint)) {
        return Error::posix(foundation::darwin::eaddrinuse,
                            "the server of " + options.sessionFile + " still answers at " + *endpoint);
    }
    for (const std::string& extension : options.extensions) {
        if (!wire::isExtensionName(extension)) {
            return Error::posix(foundation::darwin::einval,
                                "\"" + extension + "\" cannot name an extension: use lower-case words joined by underscores, "
                                "at most " + std::to_string(wire::kMaxExtensionName) + " bytes");
        }
    }
    auto token = randomToken();
    if (!token) return token.error();
    auto listener = Listener::listen(listenEndpoint(options), options.allowRemote);
    if (!listener) return listener.error();
    if (listener.value().isRemote()) {
        logging::error("orvel: server listens on {}, which is not loopback: the protocol is not encrypted",
                       listener.value().endpoint());
    }

    SessionSecrets secrets{foundation::UUID::random().string(), std::move(token.value()), options.extensions};
    const SessionFile session{secrets.sessionID, listener.value().endpoint(), secrets.authToken, options.volumeName,
                              options.namedattr, options.readonly};
    FileSystemOptions fileSystemOptions;
    fileSystemOptions.readonly = options.readonly;
    fileSystemOptions.namedattr = options.namedattr;
    std::unique_ptr<Server> server(new Server(options, limits, fileSystemOptions, std::move(root.value()),
                                              std::move(listener.value()), std::move(secrets)));
    // Only a listening server announces itself.
    if (auto error = writeSessionFile(options.sessionFile, session)) {
        server->stop();
        return *error;
    }
    server->sessionWritten_ = true;
    server->admissionThread_ = std::thread([raw = server.get()] { raw->admission_.run(); });
    logging::info("orvel: server exporting {} at {}", options.exportDirectory, server->endpoint());
    return server;
}

Server::Server(const ServerOptions& options, const ServerLimits& limits, FileSystemOptions fileSystemOptions,
               ExportRoot root, Listener listener, SessionSecrets secrets)
    : sessionFile_(options.sessionFile),
      limits_(limits),
      fileSystem_(std::move(root), fileSystemOptions),
      dispatcher_(fileSystem_),
      secrets_(std::move(secrets)),
      pool_(options.threads),
      listener_(std::move(listener)),
      admission_(listener_, secrets_, Admission::Limits{limits.maxUnauthenticated, limits.handshakeDeadline},
                 Admission::Callbacks{[this] { return hasRoom(); }, [this](UniqueFd socket) { admit(std::move(socket)); }}) {}

Server::~Server() { stop(); }

bool Server::hasRoom() {
    std::lock_guard lock(clientsMutex_);
    reapFinishedLocked();
    return !stopped_ && clients_.size() < limits_.maxClients;
}

void Server::admit(UniqueFd socket) {
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

void Server::reapFinishedLocked() {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->finished->load()) {
            it->reader.join();
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::stop() {
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
    if (sessionWritten_) ::unlink(sessionFile_.c_str());
    listener_.close();
}

}  // namespace brindle::server

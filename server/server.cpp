#include "server/server.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/uuid.h"
#include "platform/log/log.h"
#include "server/session_file.h"
#include "server/token.h"

#include <unistd.h>

namespace brindle::server {

using foundation::Error;

foundation::Result<std::unique_ptr<Server>> Server::start(const ServerOptions& options) {
    auto root = ExportRoot::open(options.exportDirectory);
    if (!root) return root.error();
    if (!S_ISDIR(root.value().rootStat().st_mode)) {
        return Error::posix(foundation::darwin::enotdir, options.exportDirectory + " is not a directory");
    }
    auto token = randomToken();
    if (!token) return token.error();
    auto listener = Listener::listen(listenEndpoint(options), options.allowRemote);
    if (!listener) return listener.error();
    if (listener.value().isRemote()) {
        logging::error("orvel: server listens on {}, which is not loopback: the protocol is not encrypted",
                       listener.value().endpoint());
    }

    SessionSecrets secrets{foundation::UUID::random().string(), std::move(token.value())};
    const SessionFile session{secrets.sessionID, listener.value().endpoint(), secrets.authToken, options.volumeName,
                              options.namedattr, options.readonly};
    FileSystemOptions fileSystemOptions;
    fileSystemOptions.readonly = options.readonly;
    fileSystemOptions.namedattr = options.namedattr;
    std::unique_ptr<Server> server(new Server(options, fileSystemOptions, std::move(root.value()),
                                              std::move(listener.value()), std::move(secrets)));
    // Only a listening server announces itself.
    if (auto error = writeSessionFile(options.sessionFile, session)) {
        server->stop();
        return *error;
    }
    server->sessionWritten_ = true;
    server->acceptThread_ = std::thread([raw = server.get()] { raw->acceptLoop(); });
    logging::info("orvel: server exporting {} at {}", options.exportDirectory, server->endpoint());
    return server;
}

Server::Server(const ServerOptions& options, FileSystemOptions fileSystemOptions, ExportRoot root, Listener listener,
               SessionSecrets secrets)
    : sessionFile_(options.sessionFile),
      fileSystem_(std::move(root), fileSystemOptions),
      dispatcher_(fileSystem_),
      secrets_(std::move(secrets)),
      pool_(options.threads),
      listener_(std::move(listener)) {}

Server::~Server() { stop(); }

void Server::acceptLoop() {
    for (;;) {
        UniqueFd socket = listener_.accept();
        if (!socket.valid()) return;
        std::lock_guard lock(clientsMutex_);
        if (stopped_) return;
        reapFinishedLocked();
        if (clients_.size() >= kMaxClients) {
            logging::error("orvel: server refuses a client: {} are connected", clients_.size());
            continue;
        }
        auto connection = Connection::create(std::move(socket), dispatcher_, pool_, secrets_);
        auto finished = std::make_shared<std::atomic<bool>>(false);
        std::thread reader([connection, finished]() mutable {
            connection->serve();
            connection.reset();
            finished->store(true);
        });
        clients_.push_back(Client{connection, std::move(reader), std::move(finished)});
    }
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
    listener_.stop();
    if (acceptThread_.joinable()) acceptThread_.join();
    for (auto& client : clients) {
        if (auto connection = client.connection.lock()) connection->stop();
    }
    for (auto& client : clients) client.reader.join();
    if (sessionWritten_) ::unlink(sessionFile_.c_str());
    listener_.close();
}

}  // namespace brindle::server

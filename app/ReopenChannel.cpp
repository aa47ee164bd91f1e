#include "ReopenChannel.h"

#include <QLocalSocket>

namespace orvel {

namespace {
constexpr int connectTimeoutMilliseconds = 1000;
} // namespace

ReopenChannel::ReopenChannel(QString socketPath, QObject* parent) : QObject(parent), socketPath_(std::move(socketPath)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* request = server_.nextPendingConnection()) {
            request->disconnectFromServer();
            request->deleteLater();
            Q_EMIT reopenRequested();
        }
    });
}

bool ReopenChannel::askRunningInstance() {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(connectTimeoutMilliseconds)) {
        return false;
    }
    socket.disconnectFromServer();
    return true;
}

bool ReopenChannel::listen() {
    if (server_.listen(socketPath_)) {
        return true;
    }
    QLocalServer::removeServer(socketPath_);
    return server_.listen(socketPath_);
}

} // namespace orvel

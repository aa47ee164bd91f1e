#include "module/rpc/BrindleRPCClient.h"
#include "module/rpc/BrindleRPCClientStateLock.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "platform/log/log.h"
#include "protocol/extensions.h"
#include "protocol/wire.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace brindle {

using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

constexpr std::string_view kTCPPrefix = "tcp://";
constexpr std::string_view kTLSPrefix = "tls://";
constexpr size_t kUnixPathLimit = 104;
constexpr int kSocketBufferSize = 4 * 1024 * 1024;
// A listener that accepts and then says nothing must not hold the writer queue for ever.
constexpr std::chrono::seconds kTLSHandshakeLimit{10};

// Closes a descriptor on every early return of an open.
class ScopedFD {
public:
    explicit ScopedFD(int fd) : fd_(fd) {}
    ~ScopedFD() {
        if (fd_ >= 0) ::close(fd_);
    }
    ScopedFD(const ScopedFD&) = delete;
    ScopedFD& operator=(const ScopedFD&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace

// Keeps the client alive for its users; letting the last copy go disconnects and joins the readers,
// so no reader outlives the client's users. A completion running on a reader may let the last copy
// go: that reader is left to end by itself, which it does at once on its shut-down socket.
struct BrindleRPCClient::Handle {
    std::shared_ptr<BrindleRPCClient> client;
    ~Handle() {
        client->disconnect();
        for (std::thread& reader : client->takeReaderThreads()) {
            if (reader.get_id() == std::this_thread::get_id()) {
                reader.detach();
            } else {
                reader.join();
            }
        }
    }
};

std::shared_ptr<BrindleRPCClient> BrindleRPCClient::initWithSession(
    std::shared_ptr<const BrindleSessionDescriptor> session, std::optional<ServerIdentity> requiredIdentity) {
    auto handle = std::make_shared<Handle>();
    handle->client =
        std::shared_ptr<BrindleRPCClient>(new BrindleRPCClient(std::move(session), std::move(requiredIdentity)));
    BrindleRPCClient* client = handle->client.get();
    return std::shared_ptr<BrindleRPCClient>(std::move(handle), client);
}

BrindleRPCClient::BrindleRPCClient(std::shared_ptr<const BrindleSessionDescriptor> session,
                                   std::optional<ServerIdentity> requiredIdentity)
    : session_(std::move(session)), requiredIdentity_(std::move(requiredIdentity)) {}

BrindleRPCClient::~BrindleRPCClient() {
    // The handle joined every reader already; one that let go of the client last is ending itself.
    for (Reader& reader : readerThreads) {
        if (reader.thread.get_id() == std::this_thread::get_id()) {
            reader.thread.detach();
        } else if (reader.thread.joinable()) {
            reader.thread.join();
        }
    }
}

std::vector<std::thread> BrindleRPCClient::takeReaderThreads() {
    std::vector<Reader> readers;
    {
        StateLock lock(*this);
        readers.swap(readerThreads);
    }
    std::vector<std::thread> threads;
    for (Reader& reader : readers) threads.push_back(std::move(reader.thread));
    return threads;
}

void BrindleRPCClient::connectAndHandshakeWithReply(SuccessReply reply) {
    ensureReadyWithCompletion([reply = std::move(reply)](std::optional<Error> error) {
        if (reply) reply(!error, std::move(error));
    });
}

void BrindleRPCClient::ensureReadyWithCompletion(ReadyCompletion completion) {
    StateLock lock(*this);
    if (terminalConnectionError) {
        dispatchReadyCompletion(std::move(completion), terminalConnectionError);
    } else if (socketFD >= 0 && handshakeComplete) {
        dispatchReadyCompletion(std::move(completion), std::nullopt);
    } else {
        readyWaiters.push_back(std::move(completion));
        ensureReadyLocked();
    }
}

bool BrindleRPCClient::isConnected() {
    StateLock lock(*this);
    return socketFD >= 0;
}

bool BrindleRPCClient::serverSupports(std::string_view extension) {
    StateLock lock(*this);
    return advertisedExtensions.contains(std::string(extension));
}

std::set<std::string> BrindleRPCClient::serverExtensions() {
    StateLock lock(*this);
    return advertisedExtensions;
}

std::optional<ServerIdentity> BrindleRPCClient::serverIdentity() {
    StateLock lock(*this);
    return connectedIdentity;
}

void BrindleRPCClient::disconnect() { failConnectionWithError(Error::posix(darwin::ecanceled), 0, true); }

void BrindleRPCClient::ensureReadyLocked() {
    if (terminalConnectionError) {
        notifyReadyWaitersWithErrorLocked(terminalConnectionError);
        return;
    }
    if (socketFD >= 0) {
        if (!handshakeComplete && !handshakeInProgress) {
            handshakeInProgress = true;
            sendHandshakeRequestLocked();
        }
        return;
    }
    if (connectionInProgress) return;
    connectionInProgress = true;
    currentOpenAttempt = ++openAttempts;
    writerQueue.async([self = shared_from_this(), attempt = currentOpenAttempt] { self->openSocketOnWriterQueue(attempt); });
}

void BrindleRPCClient::openSocketOnWriterQueue(uint64_t openAttempt) {
    auto opened = openSocket();
    StateLock lock(*this);
    if (!opened) {
        // An open that a disconnect overtook reports to nobody.
        if (openAttempt == currentOpenAttempt) failConnectionLockedWithError(opened.error(), 0, false);
        return;
    }
    socketOpenedLocked(std::move(opened.value()), openAttempt);
}

foundation::Result<BrindleRPCClient::OpenedSocket> BrindleRPCClient::openSocket() {
    const std::string& endpoint = session_->socketPath();
    auto opened = [&]() -> foundation::Result<OpenedSocket> {
        if (endpoint.starts_with(kTLSPrefix)) return openTLSSocketFD();
        if (!endpoint.starts_with(kTCPPrefix)) return openUnixSocketFD();
        auto fd = openTCPSocketFD(kTCPPrefix);
        if (!fd) return fd.error();
        logging::error("orvel: rpc endpoint={} is plain TCP: the token and all file data cross the network "
                       "unencrypted, and nothing proves who answers (tls:// would)", endpoint);
        return OpenedSocket{std::make_shared<SocketHandle>(fd.value()), ServerIdentity{}};
    }();
    if (!opened || !requiredIdentity_ || opened.value().identity.sameServerAs(*requiredIdentity_)) return opened;
    opened.value().socket->shutDown();
    return Error::posix(darwin::eperm, fmt::format("the server at {} is not the one first connected to: it proved {}, "
                                                   "not {}; the token was not sent", endpoint,
                                                   opened.value().identity.description(),
                                                   requiredIdentity_->description()));
}

foundation::Result<BrindleRPCClient::OpenedSocket> BrindleRPCClient::openUnixSocketFD() {
    const std::string& path = session_->socketPath();
    if (path.size() >= kUnixPathLimit) return Error::posix(darwin::enametoolong);

    ScopedFD fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    if (fd.get() < 0) return Error::fromLinuxErrno(errno);
    const int bufferSize = kSocketBufferSize;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize) != 0 ||
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize) != 0) {
        return Error::fromLinuxErrno(errno);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return Error::fromLinuxErrno(errno);
    }
    auto identity = identifyUnixPeer(fd.get(), path, session_->serverUser());
    if (!identity) return identity.error();
    return OpenedSocket{std::make_shared<SocketHandle>(fd.release()), std::move(identity.value())};
}

foundation::Result<int> BrindleRPCClient::openTCPSocketFD(std::string_view prefix) {
    const std::string authority = session_->socketPath().substr(prefix.size());
    const size_t colon = authority.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == authority.size()) {
        return Error::posix(darwin::einval);
    }
    const std::string host = authority.substr(0, colon);
    const std::string port = authority.substr(colon + 1);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (const int status = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses); status != 0) {
        return Error::posix(darwin::einval, ::gai_strerror(status));
    }
    std::optional<Error> lastError;
    int connected = -1;
    for (const addrinfo* address = addresses; address != nullptr && connected < 0; address = address->ai_next) {
        ScopedFD fd(::socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (fd.get() < 0) {
            lastError = Error::fromLinuxErrno(errno);
            continue;
        }
        if (::connect(fd.get(), address->ai_addr, address->ai_addrlen) != 0) {
            lastError = Error::fromLinuxErrno(errno);
            continue;
        }
        // A request sent in more than one segment (a write's data, a TLS record after another)
        // would otherwise keep its last one back until the server acknowledges the rest (Nagle),
        // and the server delays that acknowledgement up to 40 ms.
        const int on = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connected = fd.release();
    }
    ::freeaddrinfo(addresses);
    if (connected >= 0) return connected;
    return lastError ? *lastError : Error::posix(darwin::eio);
}

foundation::Result<BrindleRPCClient::OpenedSocket> BrindleRPCClient::openTLSSocketFD() {
    auto tcp = openTCPSocketFD(kTLSPrefix);
    if (!tcp) return tcp.error();
    const std::string authority = session_->socketPath().substr(kTLSPrefix.size());
    const tls::ClientTrust trust{session_->tlsPin(), authority.substr(0, authority.rfind(':'))};
    auto connected = tls::Tunnel::connect(tcp.value(), trust, kTLSHandshakeLimit);
    if (!connected) return connected.error();
    ServerIdentity identity;
    identity.kind = trust.pin ? ServerIdentity::Kind::PinnedCertificate : ServerIdentity::Kind::AuthorizedCertificate;
    identity.certificate = connected.value().server.certificate;
    identity.host = trust.host;
    identity.connection = connected.value().server.connection;
    return OpenedSocket{std::make_shared<SocketHandle>(connected.value().plainFD, std::move(connected.value().tunnel)),
                        std::move(identity)};
}

void BrindleRPCClient::socketOpenedLocked(OpenedSocket opened, uint64_t openAttempt) {
    if (openAttempt != currentOpenAttempt) {
        // Delivered after a disconnect: closed at once (when `opened` goes), and no handshake is sent.
        opened.socket->shutDown();
        return;
    }
    currentOpenAttempt = 0;
    connectedSocket = std::move(opened.socket);
    connectedIdentity = std::move(opened.identity);
    socketFD = connectedSocket->fd();
    terminalConnectionError.reset();
    handshakeComplete = false;
    connectionInProgress = false;
    advertisedExtensions.clear();
    const uint64_t generation = ++connectionGeneration;
    logging::info("orvel: rpc connected endpoint={}", session_->socketPath());
    logging::info("orvel: rpc server identity={}{}", connectedIdentity->description(),
                  connectedIdentity->connection.empty() ? "" : " over " + connectedIdentity->connection);
    startReaderLoopForFD(connectedSocket, generation);
    if (!handshakeInProgress) {
        handshakeInProgress = true;
        sendHandshakeRequestLocked();
    }
}

void BrindleRPCClient::sendHandshakeRequestLocked() {
    auto request = std::make_shared<BrindleRPCOutboundRequest>();
    request->requestID = ++nextRequestID;
    handshakeRequestID = request->requestID;
    request->payload = {
        {wire::key::method, wire::method::handshake},
        {wire::key::authToken, session_->authToken()},
        {wire::key::requestID, request->requestID},
    };
    // No handler: the reply is judged as it is matched (see handshakeRequestID), and a failure
    // while it is outstanding has already failed every ready waiter and cleared the handshake state.
    sendOutboundRequestLocked(request);
}

void BrindleRPCClient::handshakeReplyLocked(const boost::json::object& response) {
    handshakeInProgress = false;
    handshakeRequestID = 0;
    const auto* ok = response.if_contains(wire::key::ok);
    const auto* sessionID = foundation::json::stringField(response, wire::key::sessionID);
    const bool accepted = ok != nullptr && foundation::json::truthValue(*ok) && sessionID != nullptr &&
                          std::string_view(*sessionID) == session_->sessionID();
    if (accepted) {
        advertisedExtensions = wire::advertisedExtensions(response);
        if (advertisedExtensions.contains(std::string(wire::extension::forget))) startNodeReleasesLocked();
        handshakeComplete = true;
        establishedConnection = true;
        logging::info("orvel: rpc handshake accepted sessionID={}", session_->sessionID());
        notifyReadyWaitersWithErrorLocked(std::nullopt);
        flushQueuedRequestsLocked();
        return;
    }
    Error rejection = rpcErrorFromResponse(response, darwin::eperm, "handshake failed");
    logging::error("orvel: rpc handshake rejected sessionID={}", session_->sessionID());
    // At once, so that the rejection and not the hang-up that often follows it reaches the waiters.
    failConnectionLockedWithError(rejection, 0, false);
}

void BrindleRPCClient::notifyReadyWaitersWithErrorLocked(const std::optional<Error>& error) {
    std::vector<ReadyCompletion> waiters;
    waiters.swap(readyWaiters);
    for (ReadyCompletion& waiter : waiters) dispatchReadyCompletion(std::move(waiter), error);
}

void BrindleRPCClient::setConnectionLostHandler(ConnectionLostHandler handler) {
    StateLock lock(*this);
    connectionLostHandler = std::move(handler);
    if (terminalConnectionError && !lostByDisconnect) notifyConnectionLostLocked();
}

void BrindleRPCClient::setExchangeObserver(ExchangeObserver observer) {
    StateLock lock(*this);
    exchangeObserver = std::move(observer);
}

void BrindleRPCClient::notifyConnectionLostLocked() {
    if (!connectionLostHandler) return;
    completionsDue.push_back([handler = std::exchange(connectionLostHandler, {}), error = *terminalConnectionError] {
        handler(error);
    });
}

void BrindleRPCClient::dispatchReadyCompletion(ReadyCompletion completion, std::optional<Error> error) {
    if (!completion) return;
    completionsDue.push_back([completion = std::move(completion), error = std::move(error)] { completion(error); });
}

void BrindleRPCClient::failConnectionWithError(const Error& error, uint64_t generation, bool force) {
    StateLock lock(*this);
    failConnectionLockedWithError(error, generation, force);
}

void BrindleRPCClient::failConnectionLockedWithError(const Error& error, uint64_t generation, bool force) {
    // A failure of a socket that has already failed (its reader or a write still in flight)
    // belongs to the past, even before a newer socket has connected.
    const bool currentSocketFailed = connectedSocket != nullptr && generation == connectionGeneration;
    if (generation != 0 && !force && !currentSocketFailed) return;

    if (connectedSocket) {
        connectedSocket->shutDown();
        connectedSocket.reset();
        socketFD = -1;
    }
    handshakeComplete = false;
    connectionInProgress = false;
    handshakeInProgress = false;
    currentOpenAttempt = 0;
    if (establishedConnection && !terminalConnectionError) {
        terminalConnectionError = error;
        // A disconnect is asked for; anything else ends a working mount and needs a reload.
        lostByDisconnect = force;
        if (!force) {
            logging::info("orvel: rpc connection lost endpoint={} error={}", session_->socketPath(), error);
            notifyConnectionLostLocked();
        }
    }

    // Frames not yet written belong to the failed socket; their requests are among the pending.
    sendList.clear();
    unfinishedBatch.reset();
    holdTimerSet = false;
    auto pending = std::exchange(pendingRequests, {});
    auto queued = std::exchange(queuedRequests, {});
    auto waiters = std::exchange(readyWaiters, {});
    for (auto& [requestID, record] : pending) {
        if (record->directRead) record->directRead->markCompleted();
        dispatchResponseHandler(std::move(record->handler), std::nullopt, std::nullopt, error);
    }
    for (auto& request : queued) dispatchResponseHandler(std::move(request->handler), std::nullopt, std::nullopt, error);
    for (ReadyCompletion& waiter : waiters) dispatchReadyCompletion(std::move(waiter), error);
}

}  // namespace brindle

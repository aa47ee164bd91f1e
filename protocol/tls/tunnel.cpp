#include "protocol/tls/tunnel.h"

#include "platform/foundation/errno_table.h"
#include "platform/log/log.h"
#include "protocol/tls/openssl_support.h"
#include "protocol/tls/settings.h"

#include <openssl/crypto.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace brindle::tls {

using foundation::Error;
namespace darwin = foundation::darwin;
using Clock = std::chrono::steady_clock;

namespace {

// Each direction's buffer: large enough that a 1 MiB read reply crosses in a few rounds.
constexpr size_t kRelayBuffer = 256 * 1024;
// As large as the module's Unix sockets, so that batching behaves alike on both.
constexpr int kPlainSocketBuffer = 4 * 1024 * 1024;
// How long what one side still sends may take to go out after the other side has gone.
constexpr std::chrono::seconds kLinger{2};

bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left + 1);
}

bool isAddressLiteral(const std::string& host) {
    unsigned char address[16];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// Closes what a failed start leaves behind.
struct StartingDescriptors {
    int tcp = -1;
    int plain = -1;
    int relay = -1;
    int stop = -1;
    ~StartingDescriptors() {
        for (const int fd : {tcp, plain, relay, stop}) {
            if (fd >= 0) ::close(fd);
        }
    }
};

// The socket pair and the stop event of a tunnel about to start.
std::optional<Error> makeRelaySockets(StartingDescriptors& fds) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return Error::fromLinuxErrno(errno);
    fds.plain = pair[0];
    fds.relay = pair[1];
    for (const int fd : pair) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kPlainSocketBuffer, sizeof kPlainSocketBuffer);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kPlainSocketBuffer, sizeof kPlainSocketBuffer);
    }
    fds.stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fds.stop < 0 || !setNonBlocking(fds.relay) || !setNonBlocking(fds.tcp)) return Error::fromLinuxErrno(errno);
    return std::nullopt;
}

// Drives SSL_connect or SSL_accept on a non-blocking socket until it is done, fails, runs out of
// time or, when `stopFD` is given, is asked to stop.
enum class Handshake { Done, Failed, TimedOut, Stopped };
Handshake driveHandshake(SSL* ssl, int (*step)(SSL*), int tcpFD, Clock::time_point deadline, int stopFD) {
    for (;;) {
        ERR_clear_error();
        const int result = step(ssl);
        if (result == 1) return Handshake::Done;
        const int reason = SSL_get_error(ssl, result);
        if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) return Handshake::Failed;
        pollfd watched[2] = {{tcpFD, static_cast<short>(reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0},
                             {stopFD, POLLIN, 0}};
        const int ready = ::poll(watched, stopFD >= 0 ? 2 : 1, millisecondsUntil(deadline));
        if (ready < 0 && errno != EINTR) return Handshake::Failed;
        if (stopFD >= 0 && (watched[1].revents & POLLIN) != 0) return Handshake::Stopped;
        if (ready == 0 && Clock::now() >= deadline) return Handshake::TimedOut;
    }
}

// The pin a client holds its server to, and the fingerprint it found; the certificate's own
// signature and issuer do not matter, only that the server proves it holds the pinned one's key.
struct PinCheck {
    CertificatePin pin;
    std::optional<CertificatePin> seen;
};

int verifyPinnedCertificate(X509_STORE_CTX* store, void* argument) {
    auto* check = static_cast<PinCheck*>(argument);
    check->seen = fingerprintOf(X509_STORE_CTX_get0_cert(store));
    if (check->seen && *check->seen == check->pin) return 1;
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

// OpenSSL keeps an error queue and random generators per thread and frees them when the thread
// ends, but only while the library is still loaded: a caller's thread that ends after OpenSSL's
// own cleanup at exit would leave them behind. Each thread that runs a handshake or a relay gives
// that state back when it is done; the next use makes it afresh.
struct ThreadStateReturned {
    ~ThreadStateReturned() { OPENSSL_thread_stop(); }
};

std::string connectionText(SSL* ssl) {
    const bool kernel = BIO_get_ktls_send(SSL_get_wbio(ssl)) && BIO_get_ktls_recv(SSL_get_rbio(ssl));
    const bool kernelSend = BIO_get_ktls_send(SSL_get_wbio(ssl));
    return fmt::format("{} {}, {}", SSL_get_version(ssl), SSL_get_cipher_name(ssl),
                       kernel ? "kernel TLS" : kernelSend ? "kernel TLS for sending only" : "user-space TLS");
}

}  // namespace

foundation::Result<Tunnel::Connected> Tunnel::connect(int tcpFD, const ClientTrust& trust,
                                                      std::chrono::milliseconds limit) {
    const ThreadStateReturned returned;
    StartingDescriptors fds;
    fds.tcp = tcpFD;
    const openssl::Context context(SSL_CTX_new(TLS_client_method()));
    if (!context) return Error::posix(darwin::enomem, openssl::takeErrors("cannot set up TLS"));
    if (auto error = configureContext(context.get())) return *error;
    std::optional<PinCheck> pinCheck;
    if (trust.pin) {
        pinCheck = PinCheck{*trust.pin, std::nullopt};
        SSL_CTX_set_cert_verify_callback(context.get(), verifyPinnedCertificate, &*pinCheck);
    } else if (SSL_CTX_set_default_verify_paths(context.get()) != 1) {
        return Error::posix(darwin::enomem, openssl::takeErrors("cannot load the system's certificate authorities"));
    }
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    openssl::Connection ssl(SSL_new(context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fds.tcp) != 1) return Error::posix(darwin::enomem, openssl::takeErrors("cannot set up TLS"));
    const bool literal = isAddressLiteral(trust.host);
    if (!literal) SSL_set_tlsext_host_name(ssl.get(), trust.host.c_str());
    if (!trust.pin) {
        X509_VERIFY_PARAM* parameters = SSL_get0_param(ssl.get());
        const int named = literal ? X509_VERIFY_PARAM_set1_ip_asc(parameters, trust.host.c_str())
                                  : X509_VERIFY_PARAM_set1_host(parameters, trust.host.c_str(), 0);
        if (named != 1) return Error::posix(darwin::einval, "\"" + trust.host + "\" cannot be checked against a certificate");
    }
    if (auto error = makeRelaySockets(fds)) return *error;

    switch (driveHandshake(ssl.get(), SSL_connect, fds.tcp, Clock::now() + limit, -1)) {
        case Handshake::Done: break;
        case Handshake::TimedOut:
            return Error::posix(darwin::etimedout,
                                fmt::format("no TLS handshake within {} s", limit.count() / 1000.0));
        case Handshake::Stopped:
        case Handshake::Failed:
            if (pinCheck && pinCheck->seen && *pinCheck->seen != pinCheck->pin) {
                return Error::posix(darwin::eperm, "the server's certificate is " + pinCheck->seen->text() +
                                                       ", not the pinned " + pinCheck->pin.text());
            }
            if (const long verified = SSL_get_verify_result(ssl.get()); !trust.pin && verified != X509_V_OK) {
                return Error::posix(darwin::eperm, std::string("the server's certificate is not trusted: ") +
                                                       X509_verify_cert_error_string(verified));
            }
            return Error::posix(darwin::eproto,
                                "TLS handshake failed: " + openssl::takeErrors("the server ended the connection"));
    }
    VerifiedServer server;
    const auto fingerprint = fingerprintOf(SSL_get0_peer_certificate(ssl.get()));
    if (!fingerprint) return Error::posix(darwin::eproto, "the server showed no certificate");
    server.certificate = *fingerprint;
    server.pinned = trust.pin.has_value();
    server.host = trust.host;
    server.connection = connectionText(ssl.get());

    std::unique_ptr<Tunnel> tunnel(new Tunnel(ssl.release(), fds.tcp, fds.relay, fds.stop));
    fds.tcp = fds.relay = fds.stop = -1;
    tunnel->thread_ = std::thread([raw = tunnel.get()] {
        const ThreadStateReturned returned;
        raw->relay();
    });
    return Connected{std::move(tunnel), std::exchange(fds.plain, -1), std::move(server)};
}

foundation::Result<Tunnel::Accepted> Tunnel::accept(int tcpFD, const ServerCredentials& credentials,
                                                    std::chrono::milliseconds limit) {
    StartingDescriptors fds;
    fds.tcp = tcpFD;
    openssl::Connection ssl(SSL_new(credentials.context()));
    if (!ssl || SSL_set_fd(ssl.get(), fds.tcp) != 1) return Error::posix(darwin::enomem, openssl::takeErrors("cannot set up TLS"));
    if (auto error = makeRelaySockets(fds)) return *error;
    std::unique_ptr<Tunnel> tunnel(new Tunnel(ssl.release(), fds.tcp, fds.relay, fds.stop));
    fds.tcp = fds.relay = fds.stop = -1;
    tunnel->thread_ = std::thread([raw = tunnel.get(), limit] { raw->handshakeThenRelay(limit); });
    return Accepted{std::move(tunnel), std::exchange(fds.plain, -1)};
}

Tunnel::Tunnel(SSL* ssl, int tcpFD, int relayFD, int stopFD)
    : ssl_(ssl), tcpFD_(tcpFD), relayFD_(relayFD), stopFD_(stopFD) {}

Tunnel::~Tunnel() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopFD_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    SSL_free(ssl_);
    for (const int fd : {tcpFD_, relayFD_, stopFD_}) ::close(fd);
}

void Tunnel::handshakeThenRelay(std::chrono::milliseconds limit) {
    const ThreadStateReturned returned;
    const Handshake outcome = driveHandshake(ssl_, SSL_accept, tcpFD_, Clock::now() + limit, stopFD_);
    if (outcome == Handshake::Done) {
        logging::debug("orvel: tls accepted: {}", connectionText(ssl_));
        relay();
        return;
    }
    if (outcome == Handshake::Failed) {
        logging::info("orvel: tls handshake failed: {}", openssl::takeErrors("the client ended the connection"));
    } else if (outcome == Handshake::TimedOut) {
        logging::info("orvel: tls handshake not finished within {} s", limit.count() / 1000.0);
    }
    end(false);
}

void Tunnel::relay() {
    std::vector<char> up(kRelayBuffer);    // from the plain end, to be encrypted
    std::vector<char> down(kRelayBuffer);  // decrypted, for the plain end
    size_t upStart = 0, upEnd = 0, downStart = 0, downEnd = 0;
    bool plainSendsNoMore = false;  // the plain end's holder closed or shut it down
    bool peerSendsNoMore = false;   // the TLS peer closed its side
    bool plainHungUp = false, tcpHungUp = false;
    std::optional<Clock::time_point> lingerUntil;
    for (;;) {
        bool tcpRead = false, tcpWrite = false, plainWrite = false;
        // Plain end to TLS.
        for (;;) {
            if (upStart == upEnd && !plainSendsNoMore) {
                const ssize_t n = ::read(relayFD_, up.data(), up.size());
                if (n > 0) {
                    upStart = 0;
                    upEnd = static_cast<size_t>(n);
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    break;
                } else {
                    plainSendsNoMore = true;
                }
            }
            if (upStart == upEnd) break;
            ERR_clear_error();
            const int written = SSL_write(ssl_, up.data() + upStart, static_cast<int>(upEnd - upStart));
            if (written > 0) {
                upStart += static_cast<size_t>(written);
                continue;
            }
            const int reason = SSL_get_error(ssl_, written);
            if (reason == SSL_ERROR_WANT_WRITE) {
                tcpWrite = true;
            } else if (reason == SSL_ERROR_WANT_READ) {
                tcpRead = true;
            } else {
                logging::info("orvel: tls connection failed writing: {}", openssl::takeErrors("connection lost"));
                return end(false);
            }
            break;
        }
        // TLS to the plain end.
        for (;;) {
            if (downStart == downEnd && !peerSendsNoMore) {
                downStart = downEnd = 0;
                while (downEnd < down.size()) {
                    ERR_clear_error();
                    const int read = SSL_read(ssl_, down.data() + downEnd, static_cast<int>(down.size() - downEnd));
                    if (read > 0) {
                        downEnd += static_cast<size_t>(read);
                        continue;
                    }
                    const int reason = SSL_get_error(ssl_, read);
                    if (reason == SSL_ERROR_WANT_READ) {
                        tcpRead = true;
                    } else if (reason == SSL_ERROR_WANT_WRITE) {
                        tcpWrite = true;
                    } else if (reason == SSL_ERROR_ZERO_RETURN) {
                        peerSendsNoMore = true;
                    } else {
                        // A peer that just closes its socket ends the stream as a close_notify would;
                        // the framing above notices a frame cut short.
                        const std::string why = openssl::takeErrors("");
                        if (!why.empty() && why != "unexpected eof while reading") {
                            logging::info("orvel: tls connection failed reading: {}", why);
                        }
                        peerSendsNoMore = true;
                    }
                    break;
                }
            }
            if (downStart == downEnd) break;
            const ssize_t sent =
                ::send(relayFD_, down.data() + downStart, downEnd - downStart, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                downStart += static_cast<size_t>(sent);
                continue;
            }
            if (sent < 0 && errno == EINTR) continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                plainWrite = true;
                break;
            }
            // Nobody reads the plain end any more.
            return end(true);
        }

        const bool upDrained = upStart == upEnd;
        const bool downDrained = downStart == downEnd;
        if (plainSendsNoMore && upDrained) return end(true);
        if (peerSendsNoMore && downDrained) return end(true);
        if ((plainSendsNoMore || peerSendsNoMore) && !lingerUntil) lingerUntil = Clock::now() + kLinger;
        if (lingerUntil && Clock::now() >= *lingerUntil) return end(false);

        // A socket that hung up is watched no more (it would wake poll at once for ever); what it
        // still holds is read as the other side makes room, and its end shows in the next call.
        pollfd watched[3] = {
            {plainHungUp ? -1 : relayFD_,
             static_cast<short>((upDrained && !plainSendsNoMore ? POLLIN : 0) | (plainWrite ? POLLOUT : 0)), 0},
            {tcpHungUp ? -1 : tcpFD_, static_cast<short>((tcpRead ? POLLIN : 0) | (tcpWrite ? POLLOUT : 0)), 0},
            {stopFD_, POLLIN, 0}};
        const int ready = ::poll(watched, 3, lingerUntil ? millisecondsUntil(*lingerUntil) : -1);
        if (ready < 0 && errno != EINTR) return end(false);
        if ((watched[2].revents & POLLIN) != 0) return end(false);
        if ((watched[0].revents & (POLLHUP | POLLERR)) != 0) plainHungUp = true;
        if ((watched[1].revents & (POLLHUP | POLLERR)) != 0) tcpHungUp = true;
    }
}

void Tunnel::end(bool cleanly) {
    // A close_notify when nothing went wrong, sent without waiting: the peer learns the stream
    // ended on purpose. The sockets stay open, shut down, until the tunnel goes.
    if (cleanly) {
        ERR_clear_error();
        SSL_shutdown(ssl_);
    }
    ERR_clear_error();
    ::shutdown(relayFD_, SHUT_RDWR);
    ::shutdown(tcpFD_, SHUT_RDWR);
    finished_.store(true);
}

}  // namespace brindle::tls

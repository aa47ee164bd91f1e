#include "brindle/serving.h"

#include "sdk/cpp/transport/server.h"

namespace brindle::sdk {

namespace {
const std::string kUnixPrefix = "unix:";
}  // namespace

std::string listenEndpoint(const ServerSettings& settings) {
    if (!settings.listen.empty()) return settings.listen;
    return kUnixPrefix + settings.sessionFile + ".sock";
}

void makePathsAbsolute(ServerSettings& settings, const std::filesystem::path& workingDirectory) {
    auto absolute = [&workingDirectory](const std::string& path) {
        return (workingDirectory / path).lexically_normal().string();
    };
    settings.sessionFile = absolute(settings.sessionFile);
    if (!settings.tlsCertificate.empty()) settings.tlsCertificate = absolute(settings.tlsCertificate);
    if (!settings.tlsKey.empty()) settings.tlsKey = absolute(settings.tlsKey);
    if (settings.listen.starts_with(kUnixPrefix)) {
        settings.listen = kUnixPrefix + absolute(settings.listen.substr(kUnixPrefix.size()));
    }
}

Result<std::unique_ptr<Server>> Server::start(Backend& backend, const ServerSettings& settings) {
    auto started = RunningServer::start(backend, settings);
    if (!started) {
        const foundation::Error& error = started.error();
        return Error(Errno{error.code()}, error.message().value_or(error.description()));
    }
    return std::unique_ptr<Server>(new Server(std::move(started.value())));
}

Server::Server(std::unique_ptr<RunningServer> running) : running_(std::move(running)) {}
Server::~Server() = default;

void Server::stop() { running_->stop(); }
const std::string& Server::endpoint() const { return running_->endpoint(); }
const std::string& Server::sessionID() const { return running_->secrets().sessionID; }
const std::string& Server::authToken() const { return running_->secrets().authToken; }

Server::Holdings Server::holdings() const {
    const Dispatcher& dispatcher = running_->dispatcher();
    return {dispatcher.openFiles().size(), dispatcher.directories().size(), dispatcher.directories().keptBytes()};
}

}  // namespace brindle::sdk

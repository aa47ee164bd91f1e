#include "brindle/program.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <optional>
#include <utility>

namespace brindle::sdk {

namespace {

constexpr size_t kMaxThreads = 256;

std::string optionLine(std::string_view left, std::string_view help) { return fmt::format("  {:<24}  {}\n", left, help); }

}  // namespace

CommandLine::CommandLine(std::string program, std::string summary, std::string version)
    : program_(std::move(program)), summary_(std::move(summary)), version_(std::move(version)) {}

CommandLine& CommandLine::flag(std::string name, std::string help, bool& target) {
    own_.push_back(Option{std::move(name), "", std::move(help), &target, nullptr, false});
    return *this;
}

CommandLine& CommandLine::value(std::string name, std::string placeholder, std::string help, std::string& target,
                                bool required) {
    own_.push_back(Option{std::move(name), std::move(placeholder), std::move(help), nullptr, &target, required});
    return *this;
}

CommandLine::Parsed CommandLine::parse(const std::vector<std::string>& arguments, ProgramSettings& settings) const {
    Parsed parsed;
    auto refuse = [&parsed](std::string message) {
        parsed.error = std::move(message);
        return parsed;
    };
    ServerSettings& server = settings.server;
    for (size_t i = 0; i < arguments.size(); ++i) {
        // "--name=value" is taken as "--name value", as getopt_long takes it.
        std::string argument = arguments[i];
        std::optional<std::string> attached;
        if (const auto equals = argument.find('='); argument.starts_with("--") && equals != std::string::npos) {
            attached = argument.substr(equals + 1);
            argument.resize(equals);
        }
        auto value = [&](std::string& out) {
            if (attached) {
                out = *std::exchange(attached, std::nullopt);
                return true;
            }
            if (i + 1 >= arguments.size()) return false;
            out = arguments[++i];
            return true;
        };
        if (argument == "--help" || argument == "-h") {
            parsed.action = Action::Help;
            return parsed;
        }
        if (argument == "--version" || argument == "-V") {
            parsed.action = Action::Version;
            return parsed;
        }
        const auto own = std::find_if(own_.begin(), own_.end(), [&](const Option& o) { return o.name == argument; });
        if (own != own_.end()) {
            if (own->flag != nullptr) {
                *own->flag = true;
            } else if (!value(*own->value)) {
                return refuse(argument + " needs " + own->placeholder);
            }
        } else if (argument == "--session-file") {
            if (!value(server.sessionFile)) return refuse("--session-file needs a path");
        } else if (argument == "--listen") {
            if (!value(server.listen) || (!server.listen.starts_with("unix:") && !server.listen.starts_with("tls://") &&
                                          !server.listen.starts_with("tcp://"))) {
                return refuse("--listen needs unix:PATH, tls://HOST:PORT or tcp://HOST:PORT");
            }
        } else if (argument == "--tls-cert") {
            if (!value(server.tlsCertificate)) return refuse("--tls-cert needs a PEM file");
        } else if (argument == "--tls-key") {
            if (!value(server.tlsKey)) return refuse("--tls-key needs a PEM file");
        } else if (argument == "--allow-unencrypted-remote") {
            server.allowUnencryptedRemote = true;
        } else if (argument == "--volume-name") {
            if (!value(server.volumeName)) return refuse("--volume-name needs a name");
        } else if (argument == "--threads") {
            std::string text;
            if (!value(text)) return refuse("--threads needs a number");
            size_t threads = 0;
            const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), threads);
            if (status != std::errc() || end != text.data() + text.size() || threads == 0 || threads > kMaxThreads) {
                return refuse("--threads needs a number from 1 to 256");
            }
            server.threads = threads;
        } else if (argument == "--without-extension") {
            std::string extension;
            if (!value(extension)) return refuse("--without-extension needs an extension's name");
            server.withheldExtensions.insert(extension);
        } else if (argument == "--allow-remote") {
            server.allowRemote = true;
        } else if (argument == "-f") {
            settings.foreground = true;
        } else if (argument == "-d") {
            settings.debug = true;
        } else {
            return refuse("unknown option " + argument);
        }
        if (attached) return refuse(argument + " takes no value");
    }
    for (const Option& option : own_) {
        if (option.required && option.value->empty()) return refuse(option.name + " " + option.placeholder + " is required");
    }
    if (server.tlsCertificate.empty() != server.tlsKey.empty()) return refuse("--tls-cert and --tls-key go together");
    if (!server.tlsCertificate.empty() && !server.listen.starts_with("tls://")) {
        return refuse("--tls-cert and --tls-key need --listen tls://HOST:PORT");
    }
    if (server.sessionFile.empty()) return refuse("--session-file PATH is required");
    return parsed;
}

int CommandLine::parseOrExit(int argc, char** argv, ProgramSettings& settings) const {
    const Parsed parsed = parse(std::vector<std::string>(argv + 1, argv + argc), settings);
    if (!parsed.error.empty()) {
        std::cerr << program_ << ": " << parsed.error << "\nTry '" << program_ << " --help' for more information.\n";
        return 2;
    }
    if (parsed.action == Action::Help) {
        std::cout << usage();
        return 0;
    }
    if (parsed.action == Action::Version) {
        std::cout << version();
        return 0;
    }
    return -1;
}

std::string CommandLine::usage() const {
    std::string text = "Usage: " + program_;
    for (const Option& option : own_) {
        if (option.required) text += " " + option.name + " " + option.placeholder;
    }
    text += " --session-file PATH [options]\n" + summary_ + "\n\n";
    text += optionLine("--listen unix:PATH", "listen on a Unix socket (default: PATH.sock beside the session file)");
    text += optionLine("--listen tls://HOST:PORT", "listen on TCP with TLS 1.3; the session file pins the certificate");
    text += optionLine("--listen tcp://HOST:PORT", "listen on TCP in clear text (token and data readable on the way)");
    text += optionLine("--tls-cert FILE", "the certificate (PEM) to show; default: a fresh self-signed one");
    text += optionLine("--tls-key FILE", "the key (PEM) of --tls-cert");
    text += optionLine("--allow-remote", "allow a TCP address that is not loopback");
    text += optionLine("--allow-unencrypted-remote", "allow --allow-remote with tcp:// (sends the token in clear text)");
    for (const Option& option : own_) {
        text += optionLine(option.placeholder.empty() ? option.name : option.name + " " + option.placeholder, option.help);
    }
    text += optionLine("--volume-name NAME", "the volume's name");
    text += optionLine("--threads N", "worker threads (default 8)");
    text += optionLine("--without-extension NAME", "serve as if protocol extension NAME were not built in (repeatable)");
    text += optionLine("-f", "stay in the foreground and log to standard error");
    text += optionLine("-d", "debug log lines");
    text += optionLine("-h, --help", "print this help");
    text += optionLine("-V, --version", "print the version");
    return text;
}

std::string CommandLine::version() const { return program_ + " " + version_ + "\n"; }

}  // namespace brindle::sdk

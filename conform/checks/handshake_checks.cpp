#include "conform/check.h"
#include "conform/raw_connection.h"
#include "conform/verdict.h"
#include "platform/foundation/json.h"
#include "protocol/extensions.h"
#include "protocol/schema.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace brindle::conform {

namespace {

boost::json::object acceptedHandshake(RawConnection& raw, const Target& target) {
    const auto reply = raw.handshake(target.session->authToken());
    if (!reply) fail("no reply to the handshake: " + describe(reply.error()));
    require(isOK(reply.value()), "the session's token was refused: " + quoted(reply.value()));
    return reply.value().response;
}

void accepted(Context& context) {
    RawConnection raw(context.target());
    const auto reply = acceptedHandshake(raw, context.target());
    const auto problems = schema::replyProblems("handshake", reply, 0, schema::UnknownKeys::ignored);
    require(problems.empty(), fmt::format("{}", fmt::join(problems, "; ")));
    const std::string& expected = context.target().session->sessionID();
    require(reply.at("session_id").get_string() == expected,
            fmt::format("the reply names session {}, and the session file names {}",
                        foundation::json::serialize(reply.at("session_id")), expected));
    require(reply.at("request_id") == boost::json::value(1), "the reply's \"request_id\" is not the handshake's (1)");
}

void extensionsListed(Context& context) {
    RawConnection raw(context.target());
    const auto reply = acceptedHandshake(raw, context.target());
    const auto* value = reply.if_contains("extensions");
    if (value == nullptr) {
        context.note("advertises no extensions");
        return;
    }
    require(value->is_array(), "\"extensions\" is " + foundation::json::serialize(*value) + ", not a list of strings");
    std::vector<std::string> names;
    for (const auto& element : value->get_array()) {
        require(element.is_string(), "\"extensions\" holds " + foundation::json::serialize(element) + ", not a string");
        const std::string name(element.get_string());
        require(wire::isExtensionName(name), "\"" + name + "\" is not an extension name: lower-case words joined by "
                                             "underscores, at most 64 bytes");
        names.push_back(name);
    }
    if (names.empty()) {
        context.note("advertises no extensions");
        return;
    }
    const auto& defined = schema::schema().at("extensions").at("defined").as_object();
    std::vector<std::string> unknown;
    for (const auto& name : names) {
        if (!defined.contains(name)) unknown.push_back(name);
    }
    context.note(fmt::format("advertises {}{}", fmt::join(names, ", "),
                             unknown.empty() ? ""
                                             : fmt::format("; {} this kit does not know, and checks no rules of",
                                                           fmt::join(unknown, ", "))));
}

void secondRefused(Context& context) {
    RawConnection raw(context.target());
    acceptedHandshake(raw, context.target());
    const auto second = raw.handshake(context.target().session->authToken());
    if (!second) fail("no reply to a second handshake: " + describe(second.error()));
    require(!isOK(second.value()), "a second handshake on the same connection was accepted");
    require(errnoOf(second.value()) == 22, "a second handshake must fail with EINVAL (22): " + quoted(second.value()));
    raw.send({{"method", "ping"}});
    const auto ping = raw.receive();
    if (!ping) fail("after the refused second handshake, a ping got no reply: " + describe(ping.error()));
    require(isOK(ping.value()), "after the refused second handshake, a ping failed: " + quoted(ping.value()));
}

}  // namespace

void addHandshakeChecks(std::vector<Check>& checks) {
    checks.push_back({"handshake.accepted",
                      "the session's token is accepted; the reply names the session's id, as the schema describes",
                      kAnyServer, accepted});
    checks.push_back({"handshake.extensions_listed",
                      "\"extensions\", when present, is a list of extension names", kAnyServer, extensionsListed});
    checks.push_back({"handshake.second_refused",
                      "a second handshake on an accepted connection fails with EINVAL, and the connection goes on",
                      kAnyServer, secondRefused});
}

}  // namespace brindle::conform

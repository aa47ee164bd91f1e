#include "conform/check.h"
#include "conform/expect.h"
#include "conform/raw_connection.h"
#include "platform/foundation/json.h"

#include <fmt/format.h>

#include <map>

namespace brindle::conform {

namespace {

// That a connection made after the test still works: the server survived what the check did.
void stillServing(Context& context, const std::string& after) {
    RawConnection raw(context.target());
    const auto reply = raw.handshake(context.target().session->authToken());
    require(reply && isOK(reply.value()), "after " + after + ", a new connection's handshake failed");
    raw.send({{"method", "ping"}});
    const auto ping = raw.receive();
    require(ping && isOK(ping.value()), "after " + after + ", a new connection's ping failed");
}

// Nothing is served on `raw` any more: the server closes it or refuses the next request.
void servesNothing(RawConnection& raw, const std::string& after) {
    raw.send({{"method", "get_root_attributes"}});
    const auto reply = raw.receive();
    if (!reply) return;
    require(!isOK(reply.value()), "after " + after + ", the same connection served get_root_attributes: " +
                                      quoted(reply.value()));
}

void wrongToken(Context& context) {
    const std::string& token = context.target().session->authToken();
    std::string flipped = token;
    if (flipped.empty()) flipped = "x";
    flipped.back() = flipped.back() == 'a' ? 'b' : 'a';
    // A comparison that stops at the shorter token accepts its prefix, or nothing at all.
    const std::vector<std::pair<std::string, std::string>> tokens{
        {"a token differing in its last character", flipped},
        {"half the token", token.substr(0, token.size() / 2)},
        {"an empty token", ""},
    };
    for (const auto& [what, wrong] : tokens) {
        RawConnection raw(context.target());
        const auto reply = raw.handshake(wrong);
        if (reply) {
            require(!isOK(reply.value()), "the handshake with " + what + " was accepted");
            const auto code = errnoOf(reply.value());
            require(!code || *code == 1, "the handshake with " + what + " must be refused with EPERM (1): " +
                                             quoted(reply.value()));
        }
        servesNothing(raw, "a handshake with " + what);
    }
}

void requestBeforeHandshake(Context& context) {
    RawConnection raw(context.target());
    raw.send({{"method", "get_root_attributes"}});
    const auto reply = raw.receive();
    if (reply) {
        require(!isOK(reply.value()), "get_root_attributes before the handshake was served: " + quoted(reply.value()));
    }
}

// Sends `bytes` on a handshaken connection, which the server must close, while another
// connection and the server itself go on.
void closesOnlyItsConnection(Context& context, std::string_view bytes, const std::string& what) {
    RawConnection broken(context.target());
    broken.handshakeAccepted();
    auto other = context.openConnection();
    broken.sendBytes(bytes);
    require(broken.closesWithin(), what + " did not close its connection");
    succeeded(other->ping(), "a ping on another connection, after " + what + " closed one,");
    stillServing(context, what);
}

void malformedFrame(Context& context) {
    closesOnlyItsConnection(context, std::string_view("\0\0\0\x0b\0\0\0\0{\"method\": ", 19),
                            "a frame whose JSON cannot be read");
}

// A header announcing one byte more than a frame may hold, and nothing after it: a server that
// waits for the bytes instead of refusing the frame never closes.
void oversizedFrame(Context& context) {
    closesOnlyItsConnection(context, std::string_view("\x01\0\0\x01\0\0\0\0", 8),
                            "a frame announcing more than 16 MiB");
}

void pipelinedRequests(Context& context) {
    RawConnection raw(context.target());
    raw.handshakeAccepted();
    constexpr int kRequests = 64;
    std::vector<boost::json::object> requests;
    for (int i = 0; i < kRequests; ++i) {
        switch (i % 4) {
            case 0: requests.push_back({{"method", "ping"}}); break;
            case 1: requests.push_back({{"method", "get_root_attributes"}}); break;
            case 2: requests.push_back({{"method", "statfs"}, {"node_id", 1}}); break;
            default:
                requests.push_back({{"method", "lookup"},
                                    {"parent_id", context.rootID()},
                                    {"name", fmt::format("brindle-conform-missing-{}", i)}});
        }
    }
    const auto ids = raw.sendAll(requests);
    std::map<uint64_t, int> answers;
    for (int i = 0; i < kRequests; ++i) {
        const auto reply = raw.receive();
        if (!reply) {
            fail(fmt::format("{} of {} requests written at once were answered, then: {}", i, kRequests,
                             describe(reply.error())));
        }
        const auto id = foundation::json::uint64Field(reply.value().response, "request_id");
        require(id && *id >= ids.front() && *id <= ids.back(), "a reply answers no request sent: " + quoted(reply.value()));
        require(++answers[*id] == 1, fmt::format("request {} was answered twice", *id));
        const auto& request = requests[*id - ids.front()];
        const bool wanted = request.at("method") != "lookup";
        require(isOK(reply.value()) == wanted,
                fmt::format("the reply to request {} ({}) is {}", *id, request.at("method").as_string(),
                            quoted(reply.value())));
    }
}

void unknownMethod(Context& context) {
    RawConnection raw(context.target());
    raw.handshakeAccepted();
    raw.send({{"method", "brindle_conform_no_such_method"}, {"node_id", context.rootID()}});
    const auto reply = raw.receive();
    if (!reply) fail("an unknown method got no reply: " + describe(reply.error()));
    require(!isOK(reply.value()), "an unknown method succeeded: " + quoted(reply.value()));
    const auto code = errnoOf(reply.value());
    require(code == 45, "an unknown method must fail with ENOTSUP (45): " + quoted(reply.value()));
    raw.send({{"method", "ping"}});
    const auto ping = raw.receive();
    require(ping && isOK(ping.value()), "after an unknown method, a ping on the same connection failed");
}

void malformedRequest(Context& context) {
    RawConnection raw(context.target());
    raw.handshakeAccepted();
    const std::vector<std::pair<std::string, boost::json::object>> requests{
        {"a lookup without \"name\"", {{"method", "lookup"}, {"parent_id", context.rootID()}}},
        {"a get_attributes whose \"node_id\" is a string",
         {{"method", "get_attributes"}, {"node_id", "1"}, {"parent_id", context.rootID()}, {"name", ""}}},
        {"a read whose \"length\" is negative", {{"method", "read"}, {"node_id", context.rootID()}, {"offset", 0}, {"length", -1}}},
    };
    for (const auto& [what, request] : requests) {
        raw.send(request);
        const auto reply = raw.receive();
        if (!reply) fail(what + " got no reply: " + describe(reply.error()));
        require(!isOK(reply.value()), what + " succeeded: " + quoted(reply.value()));
        require(errnoOf(reply.value()) == 22, what + " must fail with EINVAL (22): " + quoted(reply.value()));
    }
    raw.send({{"method", "ping"}});
    const auto ping = raw.receive();
    require(ping && isOK(ping.value()), "after malformed requests, a ping on the same connection failed");
}

}  // namespace

void addRobustnessChecks(std::vector<Check>& checks) {
    checks.push_back({"robust.wrong_token", "a wrong, shortened or empty token is refused, and nothing is served after it",
                      kAnyServer, wrongToken});
    checks.push_back({"robust.request_before_handshake", "a request before the handshake is never served",
                      kAnyServer, requestBeforeHandshake});
    checks.push_back({"robust.malformed_frame",
                      "a frame whose JSON cannot be read closes its connection and no other", kAnyServer,
                      malformedFrame});
    checks.push_back({"robust.oversized_frame",
                      "a frame announcing more than 16 MiB closes its connection at once and no other", kAnyServer,
                      oversizedFrame});
    checks.push_back({"robust.pipelined_requests",
                      "64 requests written at once are all answered, each once, under its own request id",
                      kAnyServer, pipelinedRequests});
    checks.push_back({"robust.unknown_method", "an unknown method fails with ENOTSUP, and the connection goes on",
                      kAnyServer, unknownMethod});
    checks.push_back({"robust.malformed_request",
                      "a request missing a key, or with a key of the wrong type, fails with EINVAL, and the "
                      "connection goes on",
                      kAnyServer, malformedRequest});
}

}  // namespace brindle::conform

#pragma once

#include <boost/json.hpp>

#include <set>
#include <string>
#include <string_view>
#include <vector>

// The protocol's schema, and the judging of requests and replies by it.
namespace brindle::schema {

// protocol/schema.json, read once.
const boost::json::object& schema();
const boost::json::object& methodEntry(std::string_view method);
// Every method, the handshake included.
std::set<std::string> methodNames();
// Every key the schema names anywhere: envelope, handshake, methods, item record, reserved.
std::set<std::string> keyNames();
std::set<std::string> namesIn(const boost::json::object& object);

// Whether `value` is of the schema's type `type` ("uint64", "item_record", ...).
bool hasType(const boost::json::value& value, std::string_view type);
// A value of that type, for replies the tests make up.
boost::json::value exampleOf(std::string_view type);

// What is wrong with a request for `method` as a client sent it, to a server that advertised
// `extensions`; empty when it follows the schema.
std::vector<std::string> requestProblems(const boost::json::object& request, size_t payloadSize,
                                         const std::set<std::string>& extensions = {});
// Whether keys the schema does not name are faults. Our own ends send none; a server we have
// never seen may send an extension's reply keys to any client, which ignores them.
enum class UnknownKeys { refused, ignored };

// What is wrong with a successful reply to `method`; empty when it follows the schema.
std::vector<std::string> replyProblems(std::string_view method, const boost::json::object& reply, size_t payloadSize,
                                       UnknownKeys unknownKeys = UnknownKeys::refused);
// What is wrong with a session file; empty when it follows the schema.
std::vector<std::string> sessionFileProblems(const boost::json::object& session);
// A successful reply to `method` that carries its result, as the schema describes it.
boost::json::object exampleReply(std::string_view method);

}  // namespace brindle::schema

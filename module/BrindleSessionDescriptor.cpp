#include "module/BrindleSessionDescriptor.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/file_read.h"
#include "platform/foundation/json.h"
#include "platform/log/log.h"
#include "protocol/session_keys.h"

namespace brindle {
namespace {

using foundation::Error;
using foundation::darwin::einval;
namespace json = foundation::json;

bool isSwitchValue(const boost::json::value* value) {
    return value == nullptr || value->is_bool() || json::isNumber(value);
}

bool switchValue(const boost::json::object& root, std::string_view key) {
    const boost::json::value* value = root.if_contains(key);
    return value != nullptr && json::truthValue(*value);
}

// The first key of the wrong type, in the order the keys are documented, as a message naming it.
std::optional<std::string> keyOfWrongType(const boost::json::object& root) {
    for (const std::string_view key : {session_keys::sessionID, session_keys::socketPath, session_keys::authToken}) {
        const boost::json::value* value = root.if_contains(key);
        if (value == nullptr) return fmt::format("\"{}\" is missing", key);
        if (!value->is_string()) return fmt::format("\"{}\" must be a string", key);
    }
    for (const std::string_view key : {session_keys::namedattr, session_keys::readonly}) {
        if (!isSwitchValue(root.if_contains(key))) return fmt::format("\"{}\" must be true, false or a number", key);
    }
    for (const std::string_view key : {session_keys::volumeName, session_keys::tlsPin, session_keys::serverUser}) {
        const boost::json::value* value = root.if_contains(key);
        if (value != nullptr && !value->is_string()) return fmt::format("\"{}\" must be a string", key);
    }
    return std::nullopt;
}

// The first optional key whose string cannot mean what the key asks for, as a message naming it.
std::optional<std::string> keyOfWrongValue(const boost::json::object& root) {
    if (const auto* pin = json::stringField(root, session_keys::tlsPin); pin != nullptr && !CertificatePin::parse(*pin)) {
        return fmt::format("\"{}\" must be \"{}\" followed by 64 hexadecimal digits", session_keys::tlsPin,
                           CertificatePin::prefix);
    }
    if (const auto* user = json::stringField(root, session_keys::serverUser); user != nullptr && user->empty()) {
        return fmt::format("\"{}\" is empty", session_keys::serverUser);
    }
    return std::nullopt;
}

}  // namespace

foundation::Result<SessionFields> BrindleSessionDescriptor::parsedFieldsAtURL(const foundation::URL& url,
                                                                              SessionFileTrust trust) {
    logging::info("orvel: session init url={}", url.path());

    auto contents = trust == SessionFileTrust::requirePrivate ? foundation::readPrivateFile(url)
                                                              : foundation::readWholeFile(url);
    if (!contents) {
        logging::error("orvel: session read failed error={}", contents.error());
        return contents.error();
    }

    auto parsed = json::parse(contents.value());
    if (!parsed || !parsed.value().is_object()) {
        logging::error("orvel: session json is invalid root object");
        return parsed ? Error::posix(einval, "the top level is not an object") : parsed.error();
    }
    const boost::json::object& root = parsed.value().get_object();

    if (const auto wrongType = keyOfWrongType(root)) {
        logging::error("orvel: session keys have invalid types");
        return Error::posix(einval, *wrongType);
    }

    const std::string_view sessionID = root.at(session_keys::sessionID).get_string();
    const std::string_view socketPath = root.at(session_keys::socketPath).get_string();
    const std::string_view authToken = root.at(session_keys::authToken).get_string();
    for (const auto& [key, value] : {std::pair{session_keys::sessionID, sessionID},
                                     std::pair{session_keys::socketPath, socketPath},
                                     std::pair{session_keys::authToken, authToken}}) {
        if (value.empty()) {
            logging::error("orvel: session missing required keys");
            return Error::posix(einval, fmt::format("\"{}\" is empty", key));
        }
    }

    if (const auto wrongValue = keyOfWrongValue(root)) {
        logging::error("orvel: session keys have invalid values");
        return Error::posix(einval, *wrongValue);
    }

    SessionFields fields;
    fields.sessionID = std::string(sessionID);
    fields.socketPath = std::string(socketPath);
    fields.authToken = std::string(authToken);
    fields.namedattr = switchValue(root, session_keys::namedattr);
    fields.readonly = switchValue(root, session_keys::readonly);
    if (const boost::json::value* volumeName = root.if_contains(session_keys::volumeName))
        fields.volumeName = std::string(volumeName->get_string());
    if (const auto* pin = json::stringField(root, session_keys::tlsPin)) fields.tlsPin = CertificatePin::parse(*pin);
    if (const auto* user = json::stringField(root, session_keys::serverUser)) fields.serverUser = std::string(*user);
    return fields;
}

std::optional<foundation::Error> BrindleSessionDescriptor::validateURL(const foundation::URL& url,
                                                                       SessionFileTrust trust) {
    auto fields = parsedFieldsAtURL(url, trust);
    if (!fields) return fields.error();
    return std::nullopt;
}

foundation::Result<std::shared_ptr<const BrindleSessionDescriptor>> BrindleSessionDescriptor::initWithURL(
    const foundation::URL& url, SessionFileTrust trust) {
    auto fields = parsedFieldsAtURL(url, trust);
    if (!fields) return fields.error();
    auto descriptor = std::make_shared<const BrindleSessionDescriptor>(url, std::move(fields.value()));
    logging::info("orvel: session ready sessionID={} socket={} namedattr={} readonly={} volume={}",
                  descriptor->sessionID(), descriptor->socketPath(),
                  descriptor->namedattrEnabled() ? "true" : "false",
                  descriptor->readonlyEnabled() ? "true" : "false", descriptor->volumeName());
    return std::shared_ptr<const BrindleSessionDescriptor>(std::move(descriptor));
}

BrindleSessionDescriptor::BrindleSessionDescriptor(foundation::URL url, SessionFields fields)
    : url_(std::move(url)), fields_(std::move(fields)) {}

}  // namespace brindle

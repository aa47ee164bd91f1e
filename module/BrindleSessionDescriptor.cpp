#include "module/BrindleSessionDescriptor.h"

#include "module/session_keys.h"
#include "platform/foundation/errno_table.h"
#include "platform/foundation/file_read.h"
#include "platform/foundation/json.h"
#include "platform/log/log.h"

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

}  // namespace

foundation::Result<SessionFields> BrindleSessionDescriptor::parsedFieldsAtURL(const foundation::URL& url) {
    logging::info("orvel: session init url={}", url.path());

    auto contents = foundation::readWholeFile(url);
    if (!contents) {
        logging::error("orvel: session read failed error={}", contents.error());
        return contents.error();
    }

    auto parsed = json::parse(contents.value());
    if (!parsed || !parsed.value().is_object()) {
        logging::error("orvel: session json is invalid root object");
        return parsed ? Error::posix(einval) : parsed.error();
    }
    const boost::json::object& root = parsed.value().get_object();

    const auto* sessionID = json::stringField(root, session_keys::sessionID);
    const auto* socketPath = json::stringField(root, session_keys::socketPath);
    const auto* authToken = json::stringField(root, session_keys::authToken);
    const boost::json::value* volumeNameValue = root.if_contains(session_keys::volumeName);
    const bool typesValid = sessionID && socketPath && authToken &&
                            isSwitchValue(root.if_contains(session_keys::namedattr)) &&
                            isSwitchValue(root.if_contains(session_keys::readonly)) &&
                            (volumeNameValue == nullptr || volumeNameValue->is_string());
    if (!typesValid) {
        logging::error("orvel: session keys have invalid types");
        return Error::posix(einval);
    }

    if (sessionID->empty() || socketPath->empty() || authToken->empty()) {
        logging::error("orvel: session missing required keys");
        return Error::posix(einval);
    }

    SessionFields fields;
    fields.sessionID = std::string(*sessionID);
    fields.socketPath = std::string(*socketPath);
    fields.authToken = std::string(*authToken);
    fields.namedattr = switchValue(root, session_keys::namedattr);
    fields.readonly = switchValue(root, session_keys::readonly);
    if (volumeNameValue != nullptr) fields.volumeName = std::string(volumeNameValue->get_string());
    return fields;
}

std::optional<foundation::Error> BrindleSessionDescriptor::validateURL(const foundation::URL& url) {
    auto fields = parsedFieldsAtURL(url);
    if (!fields) return fields.error();
    return std::nullopt;
}

foundation::Result<std::shared_ptr<const BrindleSessionDescriptor>> BrindleSessionDescriptor::initWithURL(
    const foundation::URL& url) {
    auto fields = parsedFieldsAtURL(url);
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

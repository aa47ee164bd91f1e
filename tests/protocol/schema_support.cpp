#include "tests/protocol/schema_support.h"

#include "platform/foundation/json.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace schematest {

namespace {

const boost::json::object& objectAt(const boost::json::object& object, std::string_view key) {
    const auto* value = object.if_contains(key);
    if (value == nullptr || !value->is_object()) throw std::runtime_error("schema: no object \"" + std::string(key) + "\"");
    return value->get_object();
}

std::string text(const boost::json::value& value) { return foundation::json::serialize(value); }

bool isInteger(const boost::json::value& value) { return value.is_int64() || value.is_uint64(); }

// Compares integers of either signedness without converting one into the other's range.
bool withinRange(const boost::json::value& value, const boost::json::object& type) {
    const auto& minimum = type.at("minimum");
    const auto& maximum = type.at("maximum");
    if (value.is_uint64()) {
        return maximum.is_uint64() ? value.get_uint64() <= maximum.get_uint64()
                                   : value.get_uint64() <= static_cast<uint64_t>(maximum.get_int64());
    }
    const int64_t number = value.get_int64();
    if (number < minimum.to_number<int64_t>()) return false;
    return maximum.is_uint64() || number <= maximum.get_int64();
}

// Problems of `object` against a table of keys: unknown keys, missing required keys, wrong types.
void judgeKeys(const boost::json::object& object, const boost::json::object& keys, const std::string& where,
               const std::set<std::string>& alsoAllowed, std::vector<std::string>& problems) {
    for (const auto& [key, value] : object) {
        const std::string name(key);
        if (const auto* entry = keys.if_contains(key)) {
            const std::string_view type = entry->at("type").as_string();
            if (!hasType(value, type)) problems.push_back(where + ": \"" + name + "\" is " + text(value) + ", not " + std::string(type));
        } else if (!alsoAllowed.contains(name)) {
            problems.push_back(where + ": \"" + name + "\" is not in the schema");
        }
    }
    for (const auto& [key, entry] : keys) {
        if (entry.at("required").as_bool() && !object.contains(key)) {
            problems.push_back(where + ": required \"" + std::string(key) + "\" is missing");
        }
    }
}

// The method's result, or null for a method whose reply carries none (and the handshake's).
const boost::json::object* resultOf(const boost::json::object& replyEntry) {
    const auto* result = replyEntry.if_contains("result");
    return result != nullptr ? result->if_object() : nullptr;
}

const boost::json::object& envelope(std::string_view side) {
    return objectAt(objectAt(objectAt(schema(), "envelope"), side), "keys");
}

}  // namespace

const boost::json::object& schema() {
    static const boost::json::object loaded = [] {
        std::ifstream file(BRINDLE_SCHEMA_PATH);
        std::stringstream contents;
        contents << file.rdbuf();
        auto parsed = foundation::json::parse(contents.str());
        if (!parsed || !parsed.value().is_object()) throw std::runtime_error("cannot read " BRINDLE_SCHEMA_PATH);
        return parsed.value().get_object();
    }();
    return loaded;
}

const boost::json::object& methodEntry(std::string_view method) {
    if (method == "handshake") return objectAt(schema(), "handshake");
    return objectAt(objectAt(schema(), "methods"), method);
}

std::set<std::string> namesIn(const boost::json::object& object) {
    std::set<std::string> names;
    for (const auto& [key, value] : object) names.emplace(key);
    return names;
}

std::set<std::string> methodNames() {
    auto names = namesIn(objectAt(schema(), "methods"));
    names.emplace(objectAt(schema(), "handshake").at("method").as_string());
    return names;
}

std::set<std::string> keyNames() {
    std::set<std::string> names;
    const auto add = [&](const boost::json::object& keys) { names.merge(namesIn(keys)); };
    add(envelope("request"));
    add(envelope("reply"));
    add(objectAt(objectAt(schema(), "envelope"), "reserved_reply_keys"));
    add(objectAt(objectAt(schema(), "item_record"), "keys"));
    for (const std::string& method : methodNames()) {
        const auto& entry = methodEntry(method);
        add(objectAt(objectAt(entry, "request"), "keys"));
        add(objectAt(objectAt(entry, "reply"), "keys"));
        if (const auto* result = resultOf(objectAt(entry, "reply"))) {
            names.emplace(result->at("key").as_string());
        }
    }
    return names;
}

bool hasType(const boost::json::value& value, std::string_view typeName) {
    const auto& type = objectAt(objectAt(schema(), "types"), typeName);
    const std::string_view kind = type.at("json").as_string();
    if (kind == "integer") return isInteger(value) && withinRange(value, type);
    if (kind == "boolean") return value.is_bool();
    if (kind == "string") return value.is_string();
    if (kind == "array") {
        if (!value.is_array()) return false;
        const std::string_view items = type.at("items").as_string();
        for (const auto& element : value.get_array()) {
            if (!hasType(element, items)) return false;
        }
        return true;
    }
    if (typeName == "item_record") {
        if (!value.is_object()) return false;
        std::vector<std::string> problems;
        judgeKeys(value.get_object(), objectAt(objectAt(schema(), "item_record"), "keys"), "item record", {}, problems);
        const auto* recordType = value.get_object().if_contains("type");
        if (recordType == nullptr || !recordType->is_string() ||
            !objectAt(objectAt(schema(), "item_record"), "types").contains(recordType->get_string())) {
            return false;
        }
        return problems.empty();
    }
    throw std::runtime_error("schema: type \"" + std::string(typeName) + "\" of unknown kind");
}

boost::json::value exampleOf(std::string_view typeName) {
    const auto& type = objectAt(objectAt(schema(), "types"), typeName);
    const std::string_view kind = type.at("json").as_string();
    if (kind == "integer") return 7;
    if (kind == "boolean") return true;
    if (kind == "string") return "example";
    if (kind == "array") return boost::json::array{exampleOf(type.at("items").as_string())};
    boost::json::object record;
    for (const auto& [key, entry] : objectAt(objectAt(schema(), "item_record"), "keys")) {
        record[key] = key == "type" ? boost::json::value("file") : exampleOf(entry.at("type").as_string());
    }
    return record;
}

std::vector<std::string> requestProblems(const boost::json::object& request, size_t payloadSize,
                                         const std::set<std::string>& extensions) {
    std::vector<std::string> problems;
    const auto* method = request.if_contains("method");
    if (method == nullptr || !method->is_string()) return {"a request without a string \"method\": " + text(request)};
    const std::string name(method->get_string());
    if (!methodNames().contains(name)) return {"method \"" + name + "\" is not in the schema"};
    const auto& entry = methodEntry(name);
    const auto& keys = objectAt(objectAt(entry, "request"), "keys");
    const auto inExtension = [&](const boost::json::object& described) {
        const auto* extension = described.if_contains("extension");
        return extension != nullptr && !extensions.contains(std::string(extension->as_string()));
    };
    if (inExtension(entry)) problems.push_back(name + ": sent to a server that did not advertise its extension");

    boost::json::object own;
    for (const auto& [key, value] : request) {
        if (const auto* common = envelope("request").if_contains(key)) {
            if (!hasType(value, common->at("type").as_string())) problems.push_back(name + ": \"" + std::string(key) + "\" has the wrong type");
        } else {
            own[key] = value;
        }
    }
    if (!request.contains("request_id")) problems.push_back(name + ": no \"request_id\"");
    judgeKeys(own, keys, name, {}, problems);
    for (const auto& [key, value] : own) {
        const auto* described = keys.if_contains(key);
        if (described == nullptr) continue;
        if (inExtension(described->get_object())) {
            problems.push_back(name + ": \"" + std::string(key) + "\" sent to a server that did not advertise its extension");
        }
        if (const auto* partner = described->get_object().if_contains("together_with");
            partner != nullptr && !own.contains(partner->as_string())) {
            problems.push_back(name + ": \"" + std::string(key) + "\" without \"" + std::string(partner->as_string()) + "\"");
        }
    }
    if (payloadSize > 0 && !objectAt(entry, "request").contains("payload")) {
        problems.push_back(name + ": a payload where the method takes none");
    }
    return problems;
}

std::vector<std::string> replyProblems(std::string_view method, const boost::json::object& reply, size_t payloadSize) {
    std::vector<std::string> problems;
    const std::string name(method);
    const auto& replyEntry = objectAt(methodEntry(method), "reply");
    boost::json::object keys = objectAt(replyEntry, "keys");
    for (const auto& [key, entry] : envelope("reply")) keys[key] = entry;
    if (const auto* result = resultOf(replyEntry)) {
        keys[result->at("key").as_string()] = boost::json::object{{"type", result->at("type")}, {"required", result->at("required")}};
    }
    judgeKeys(reply, keys, name + " reply", {}, problems);
    const auto* ok = reply.if_contains("ok");
    if (ok == nullptr || !ok->is_bool() || !ok->get_bool()) problems.push_back(name + " reply: not ok: " + text(reply));
    if (payloadSize > 0 && !replyEntry.contains("payload")) problems.push_back(name + " reply: a payload where none belongs");
    return problems;
}

std::vector<std::string> sessionFileProblems(const boost::json::object& session) {
    std::vector<std::string> problems;
    judgeKeys(session, objectAt(objectAt(schema(), "session_file"), "keys"), "session file", {}, problems);
    return problems;
}

boost::json::object exampleReply(std::string_view method) {
    boost::json::object reply{{"ok", true}};
    const auto& replyEntry = objectAt(methodEntry(method), "reply");
    if (const auto* result = resultOf(replyEntry)) {
        reply[result->at("key").as_string()] = exampleOf(result->at("type").as_string());
    }
    return reply;
}

}  // namespace schematest

#include "protocol/schema.h"

#include "platform/foundation/json.h"

#include <stdexcept>

namespace brindle::schema {

// protocol/schema.json, compiled in.
extern const char* const kSchemaText;

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

void judgeValue(const boost::json::value& value, std::string_view typeName, const std::string& where,
                UnknownKeys unknownKeys, std::vector<std::string>& problems);

// Problems of `object` against a table of keys: unknown keys, missing required keys, wrong types.
void judgeKeys(const boost::json::object& object, const boost::json::object& keys, const std::string& where,
               UnknownKeys unknownKeys, std::vector<std::string>& problems) {
    for (const auto& [key, value] : object) {
        const std::string name(key);
        if (const auto* entry = keys.if_contains(key)) {
            judgeValue(value, entry->at("type").as_string(), where + ": \"" + name + "\"", unknownKeys, problems);
        } else if (unknownKeys == UnknownKeys::refused) {
            problems.push_back(where + ": \"" + name + "\" is not in the schema");
        }
    }
    for (const auto& [key, entry] : keys) {
        if (entry.at("required").as_bool() && !object.contains(key)) {
            problems.push_back(where + ": required \"" + std::string(key) + "\" is missing");
        }
    }
}

// An item record's problems name the key at fault rather than repeat the whole record.
void judgeItemRecord(const boost::json::object& record, const std::string& where, UnknownKeys unknownKeys,
                     std::vector<std::string>& problems) {
    const auto& description = objectAt(schema(), "item_record");
    judgeKeys(record, objectAt(description, "keys"), where, unknownKeys, problems);
    const auto* recordType = record.if_contains("type");
    if (recordType != nullptr && recordType->is_string() && !objectAt(description, "types").contains(recordType->get_string())) {
        problems.push_back(where + ": \"type\" " + text(*recordType) + " is none of the type strings");
    }
}

void judgeValue(const boost::json::value& value, std::string_view typeName, const std::string& where,
                UnknownKeys unknownKeys, std::vector<std::string>& problems) {
    const auto& type = objectAt(objectAt(schema(), "types"), typeName);
    const std::string_view kind = type.at("json").as_string();
    const auto wrongType = [&] { problems.push_back(where + " is " + text(value) + ", not " + std::string(typeName)); };
    if (kind == "integer") {
        if (!isInteger(value) || !withinRange(value, type)) wrongType();
    } else if (kind == "boolean") {
        if (!value.is_bool()) wrongType();
    } else if (kind == "string") {
        if (!value.is_string()) wrongType();
    } else if (kind == "array") {
        if (!value.is_array()) {
            wrongType();
            return;
        }
        const std::string_view items = type.at("items").as_string();
        const auto& elements = value.get_array();
        for (size_t i = 0; i < elements.size(); ++i) {
            judgeValue(elements[i], items, where + "[" + std::to_string(i) + "]", unknownKeys, problems);
        }
    } else if (typeName == "item_record") {
        if (!value.is_object()) {
            wrongType();
            return;
        }
        judgeItemRecord(value.get_object(), where, unknownKeys, problems);
    } else {
        throw std::runtime_error("schema: type \"" + std::string(typeName) + "\" of unknown kind");
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
        auto parsed = foundation::json::parse(kSchemaText);
        if (!parsed || !parsed.value().is_object()) throw std::runtime_error("the compiled-in schema is not a JSON object");
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
    std::vector<std::string> problems;
    judgeValue(value, typeName, "value", UnknownKeys::refused, problems);
    return problems.empty();
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
    judgeKeys(own, keys, name, UnknownKeys::refused, problems);
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

std::vector<std::string> replyProblems(std::string_view method, const boost::json::object& reply, size_t payloadSize,
                                       UnknownKeys unknownKeys) {
    std::vector<std::string> problems;
    const std::string name(method);
    const auto& replyEntry = objectAt(methodEntry(method), "reply");
    boost::json::object keys = objectAt(replyEntry, "keys");
    for (const auto& [key, entry] : envelope("reply")) keys[key] = entry;
    if (const auto* result = resultOf(replyEntry)) {
        keys[result->at("key").as_string()] = boost::json::object{{"type", result->at("type")}, {"required", result->at("required")}};
    }
    judgeKeys(reply, keys, name + " reply", unknownKeys, problems);
    const auto* ok = reply.if_contains("ok");
    if (ok == nullptr || !ok->is_bool() || !ok->get_bool()) problems.push_back(name + " reply: not ok: " + text(reply));
    if (payloadSize > 0 && !replyEntry.contains("payload")) problems.push_back(name + " reply: a payload where none belongs");
    return problems;
}

std::vector<std::string> sessionFileProblems(const boost::json::object& session) {
    std::vector<std::string> problems;
    judgeKeys(session, objectAt(objectAt(schema(), "session_file"), "keys"), "session file", UnknownKeys::refused, problems);
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

}  // namespace brindle::schema

#include "protocol/errors.h"
#include "protocol/extensions.h"
#include "protocol/framing.h"
#include "protocol/item_record.h"
#include "protocol/session_keys.h"
#include "protocol/wire.h"
#include "protocol/schema.h"

#include <gtest/gtest.h>

#include <limits>
#include <regex>

namespace {

using brindle::schema::namesIn;
using brindle::schema::schema;

template <typename Names>
std::set<std::string> asSet(const Names& names) {
    return {names.begin(), names.end()};
}

// The names of `code` missing from `schema` and those of `schema` missing from `code`, as one
// line each, so that a failure says which names disagree.
template <typename Names>
void expectSameNames(const Names& code, const std::set<std::string>& schemaNames, const std::string& what) {
    std::string onlyInCode, onlyInSchema;
    for (const auto& name : code) {
        if (!schemaNames.contains(std::string(name))) onlyInCode += " " + std::string(name);
    }
    const auto codeNames = asSet(code);
    for (const auto& name : schemaNames) {
        if (!codeNames.contains(name)) onlyInSchema += " " + name;
    }
    EXPECT_EQ(onlyInCode, "") << what << " that the code has and the schema lacks";
    EXPECT_EQ(onlyInSchema, "") << what << " that the schema has and the code lacks";
}

const boost::json::object& object(const boost::json::object& in, std::string_view key) { return in.at(key).as_object(); }

// Every table of keys in the schema, with where it stands.
std::vector<std::pair<std::string, const boost::json::object*>> keyTables() {
    std::vector<std::pair<std::string, const boost::json::object*>> tables{
        {"envelope request", &object(object(object(schema(), "envelope"), "request"), "keys")},
        {"envelope reply", &object(object(object(schema(), "envelope"), "reply"), "keys")},
        {"session file", &object(object(schema(), "session_file"), "keys")},
        {"item record", &object(object(schema(), "item_record"), "keys")},
    };
    for (const std::string& method : brindle::schema::methodNames()) {
        const auto& entry = brindle::schema::methodEntry(method);
        tables.emplace_back(method + " request", &object(object(entry, "request"), "keys"));
        tables.emplace_back(method + " reply", &object(object(entry, "reply"), "keys"));
    }
    return tables;
}

TEST(SchemaTest, TheCodeAndTheSchemaNameTheSameMethodsKeysAndTypes) {
    expectSameNames(brindle::wire::method::all, brindle::schema::methodNames(), "methods");
    expectSameNames(brindle::wire::key::all, brindle::schema::keyNames(), "keys");
    expectSameNames(brindle::session_keys::all, namesIn(object(object(schema(), "session_file"), "keys")),
                    "session file keys");
    expectSameNames(brindle::wire::type::all, namesIn(object(object(schema(), "item_record"), "types")),
                    "item record types");

    std::vector<std::string> attributeSet;
    for (const auto& key : object(schema(), "item_record").at("attribute_set").as_array()) {
        attributeSet.emplace_back(key.as_string());
    }
    EXPECT_EQ(attributeSet, std::vector<std::string>(brindle::wire::kItemRecordAttributeKeys.begin(),
                                                     brindle::wire::kItemRecordAttributeKeys.end()));
}

TEST(SchemaTest, FrameLimitsAreTheOnesTheFramingApplies) {
    const auto& framing = object(schema(), "framing");
    EXPECT_EQ(framing.at("header_size").to_number<uint64_t>(), brindle::framing::kHeaderSize);
    EXPECT_EQ(framing.at("max_receive_body").to_number<uint64_t>(), brindle::framing::kMaxReceiveBody);
    const uint64_t maxField = framing.at("max_field").to_number<uint64_t>();
    EXPECT_TRUE(brindle::framing::fitsFrame(maxField, maxField));
    EXPECT_FALSE(brindle::framing::fitsFrame(maxField + 1, 0));
}

TEST(SchemaTest, EveryErrorCarriesItsWireNumberAndEveryNamedErrorIsListed) {
    const auto& errors = object(schema(), "errors");
    const auto& codes = object(errors, "codes");
    for (const auto& [name, entry] : codes) {
        const int code = entry.at("errno").to_number<int>();
        EXPECT_EQ(brindle::wire::errnoNamed(name), code) << name;
        EXPECT_EQ(brindle::wire::errnoName(code), std::string_view(name)) << code;
    }
    std::set<std::string> named;
    for (const auto& name : errors.at("any_method").as_array()) named.emplace(name.as_string());
    for (const std::string& method : brindle::schema::methodNames()) {
        named.merge(namesIn(object(brindle::schema::methodEntry(method), "errors")));
    }
    for (const std::string& name : named) EXPECT_TRUE(codes.contains(name)) << name;
}

TEST(SchemaTest, EverythingIsDescribedAndEveryReferenceResolves) {
    const auto& types = object(schema(), "types");
    const auto& defined = object(object(schema(), "extensions"), "defined");
    const auto described = [](const boost::json::value& entry, const std::string& where) {
        const auto* text = entry.is_string() ? &entry : entry.as_object().if_contains("description");
        EXPECT_TRUE(text != nullptr && text->is_string() && !text->get_string().empty()) << where;
    };
    const auto belongs = [&](const boost::json::object& entry, const std::string& where) {
        if (const auto* extension = entry.if_contains("extension")) {
            EXPECT_TRUE(extension->is_string() && defined.contains(extension->get_string())) << where;
        }
    };
    for (const auto& [name, type] : types) described(type, std::string(name));
    for (const auto& [where, keys] : keyTables()) {
        for (const auto& [key, entry] : *keys) {
            const std::string place = where + " \"" + std::string(key) + "\"";
            described(entry, place);
            belongs(entry.as_object(), place);
            EXPECT_TRUE(types.contains(entry.at("type").as_string())) << place;
            EXPECT_TRUE(entry.at("required").is_bool()) << place;
            if (const auto* partner = entry.as_object().if_contains("together_with")) {
                const auto* back = keys->if_contains(partner->as_string());
                EXPECT_TRUE(back != nullptr && back->as_object().if_contains("together_with") != nullptr &&
                            back->at("together_with").as_string() == key)
                    << place;
            }
        }
    }
    for (const auto& [name, method] : object(schema(), "methods")) {
        described(method, std::string(name));
        belongs(method.as_object(), std::string(name));
        const auto& result = method.at("reply").at("result");
        if (!result.is_null()) {
            EXPECT_TRUE(types.contains(result.at("type").as_string())) << name;
        }
        for (const auto& [error, meaning] : object(method.as_object(), "errors")) described(meaning, std::string(error));
    }
    for (const auto& [name, error] : object(object(schema(), "errors"), "codes")) described(error, std::string(name));
    for (const auto& [name, extension] : defined) {
        described(extension, std::string(name));
        EXPECT_TRUE(brindle::wire::isExtensionName(name)) << name;
    }
}

TEST(SchemaTest, TheExtensionNameRuleIsTheSchemasPattern) {
    const std::regex pattern(std::string(object(schema(), "extensions").at("name_pattern").as_string()));
    for (const std::string& name : std::vector<std::string>{"a", "sparse_files", "v2", "x_vendor_thing", "", "A", "_a", "2a", "a-b", "a.b",
                                   "a b", "\xc3\xa4", std::string(64, 'a'), std::string(65, 'a')}) {
        EXPECT_EQ(brindle::wire::isExtensionName(name), std::regex_match(name, pattern)) << name;
    }
}

TEST(SchemaTest, AdvertisedExtensionsAreAListOfNamesOrNone) {
    const auto advertised = [](boost::json::value value) {
        return brindle::wire::advertisedExtensions({{"ok", true}, {"extensions", std::move(value)}});
    };
    EXPECT_TRUE(brindle::wire::advertisedExtensions({{"ok", true}}).empty());
    EXPECT_EQ(advertised(boost::json::array{"b", "a", "b"}), (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(advertised(boost::json::array{"ok_name", "Not A Name", ""}), std::set<std::string>{"ok_name"});
    EXPECT_TRUE(advertised("a").empty());
    EXPECT_TRUE(advertised(boost::json::array{"a", 1}).empty());
    EXPECT_TRUE(advertised(boost::json::object{{"a", true}}).empty());
    EXPECT_TRUE(advertised(nullptr).empty());
}

}  // namespace

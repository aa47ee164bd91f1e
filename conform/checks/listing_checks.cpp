#include "conform/check.h"
#include "conform/expect.h"
#include "conform/fixtures.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <set>

namespace brindle::conform {

namespace {

// How often each name came.
std::map<std::string, int> counted(const std::vector<std::string>& names) {
    std::map<std::string, int> counts;
    for (const auto& name : names) ++counts[name];
    return counts;
}

void requireEachOnce(const std::vector<std::string>& listed, const std::vector<std::string>& expected,
                     const std::string& what) {
    const auto counts = counted(listed);
    for (const auto& [name, count] : counts) {
        require(count == 1, fmt::format("{}: \"{}\" came {} times", what, name, count));
    }
    for (const auto& name : expected) {
        require(counts.contains(name), fmt::format("{}: \"{}\" is missing", what, name));
    }
    const std::set<std::string> known(expected.begin(), expected.end());
    for (const auto& name : listed) {
        require(known.contains(name), fmt::format("{}: \"{}\" was never made", what, name));
    }
}

void eachNameOnce(Context& context) {
    const auto& fixture = context.thousandNames();
    const auto listing = listDirectory(context.connection(), fixture.nodeID, 128);
    requireEachOnce(namesOf(listing.entries()), fixture.names, "a listing of 1,000 names in batches of 128");
    require(listing.batches.size() >= 8, fmt::format("1,000 names came in {} batches of at most 128", listing.batches.size()));
}

void cookiesGrow(Context& context) {
    const auto& fixture = context.thousandNames();
    const auto listing = listDirectory(context.connection(), fixture.nodeID, 128);
    uint64_t previous = 0;
    std::string previousName = "the start";
    for (const auto& entry : listing.entries()) {
        require(entry->directoryCookie > previous,
                fmt::format("the cookie after \"{}\" is {}, and after {} it was {}: cookies must grow within a listing",
                            entry->name, entry->directoryCookie, previousName == "the start" ? previousName : "\"" + previousName + "\"",
                            previous));
        previous = entry->directoryCookie;
        previousName = entry->name;
    }
}

void maxEntriesHonoured(Context& context) {
    const auto& fixture = context.thousandNames();
    constexpr uint64_t kBatch = 7;
    const auto listing = listDirectory(context.connection(), fixture.nodeID, kBatch);
    for (size_t i = 0; i < listing.batches.size(); ++i) {
        require(listing.batches[i].size() <= kBatch,
                fmt::format("batch {} holds {} entries; {} were asked for", i + 1, listing.batches[i].size(), kBatch));
    }
    requireEachOnce(namesOf(listing.entries()), fixture.names, "a listing of 1,000 names in batches of 7");
}

void consistentWhileChanging(Context& context) {
    auto& lister = context.connection();
    const uint64_t directory = context.workDirectory();
    std::vector<std::string> original;
    for (int i = 0; i < 300; ++i) {
        original.push_back(fmt::format("original-{:03}", i));
        succeeded(lister.createFile(directory, original.back()), "create_file \"" + original.back() + "\"");
    }
    auto changer = context.openConnection();
    const uint64_t handle = succeeded(lister.openDirectory(directory), "open_directory");
    Listing listing;
    listing.batches.push_back(succeeded(lister.enumerate(directory, handle, 0, 128), "enumerate_directory from cookie 0"));
    require(listing.batches.front().size() == 128, fmt::format("the first batch of 300 names holds {} entries", listing.batches.front().size()));

    // Another connection removes every third name and adds as many, while the listing is half done.
    std::set<std::string> removed;
    std::vector<std::string> added;
    for (int i = 0; i < 300; i += 3) {
        succeeded(changer->removeFile(directory, original[i]), "remove_file \"" + original[i] + "\" on a second connection");
        removed.insert(original[i]);
        added.push_back(fmt::format("added-{:03}", i));
        succeeded(changer->createFile(directory, added.back()), "create_file \"" + added.back() + "\" on a second connection");
    }
    listOn(lister, directory, handle, listing.batches.front().back()->directoryCookie, 128, listing);
    succeeded(lister.closeDirectory(directory, handle), "close_directory");

    const auto listed = namesOf(listing.entries());
    const auto counts = counted(listed);
    for (const auto& [name, count] : counts) {
        require(count == 1, fmt::format("\"{}\" came {} times in a listing that another connection changed", name, count));
    }
    std::set<std::string> possible(original.begin(), original.end());
    possible.insert(added.begin(), added.end());
    for (const auto& name : listed) {
        require(possible.contains(name), "\"" + name + "\" was listed and never made");
    }
    for (const auto& name : original) {
        if (removed.contains(name)) continue;
        require(counts.contains(name), "\"" + name + "\", which nobody touched, is missing from a listing that another "
                                       "connection changed");
    }
}

void rootStable(Context& context) {
    auto& connection = context.connection();
    const auto whole = namesOf(listDirectory(connection, context.rootID(), 128).entries());
    const auto small = namesOf(listDirectory(connection, context.rootID(), 3).entries());
    requireEachOnce(whole, whole, "the root listed in batches of 128");
    auto sortedWhole = whole;
    auto sortedSmall = small;
    std::ranges::sort(sortedWhole);
    std::ranges::sort(sortedSmall);
    require(sortedWhole == sortedSmall, fmt::format("the root in batches of 3 lists {} names, in batches of 128 {}",
                                                    small.size(), whole.size()));
}

void entriesMatchLookup(Context& context) {
    auto& connection = context.connection();
    const auto entries = listDirectory(connection, context.rootID()).entries();
    size_t compared = 0;
    for (const auto& entry : entries) {
        if (entry->name == "." || entry->name == "..") continue;
        if (++compared > 64) break;
        const auto looked = succeeded(connection.lookup(context.rootID(), entry->name), "lookup of the listed \"" + entry->name + "\"");
        require(looked->nodeID == entry->nodeID, fmt::format("\"{}\" is listed as node {} and looked up as node {}",
                                                             entry->name, entry->nodeID, looked->nodeID));
        require(looked->itemType == entry->itemType, "\"" + entry->name + "\" is listed and looked up as different types");
    }
    context.note(fmt::format("{} entries compared", std::min<size_t>(compared, 64)));
}

void handlesIndependent(Context& context) {
    auto& first = context.connection();
    auto second = context.openConnection();
    const uint64_t directory = context.claims().readOnly ? context.rootID() : context.thousandNames().nodeID;
    const auto expected = namesOf(listDirectory(first, directory, 128).entries());
    const uint64_t handle = succeeded(first.openDirectory(directory), "open_directory on the first connection");
    Listing listing;
    listing.batches.push_back(succeeded(first.enumerate(directory, handle, 0, 5), "enumerate_directory from cookie 0"));
    const uint64_t other = succeeded(second->openDirectory(directory), "open_directory on a second connection");
    listDirectory(*second, directory, 64);
    succeeded(second->closeDirectory(directory, other), "close_directory on the second connection");
    const uint64_t cookie = listing.batches.front().empty() ? 0 : listing.batches.front().back()->directoryCookie;
    if (!listing.batches.front().empty()) listOn(first, directory, handle, cookie, 128, listing);
    succeeded(first.closeDirectory(directory, handle), "close_directory on the first connection");
    requireEachOnce(namesOf(listing.entries()), expected,
                    "a listing whose directory a second connection opened, listed and closed meanwhile");
}

}  // namespace

void addListingChecks(std::vector<Check>& checks) {
    checks.push_back({"listing.each_name_once", "1,000 names listed in batches of 128 come once each, and no others",
                      kWritable, eachNameOnce});
    checks.push_back({"listing.cookies_grow", "within a listing every entry's cookie is greater than the one before",
                      kWritable, cookiesGrow});
    checks.push_back({"listing.max_entries_honoured", "no batch holds more entries than \"max_entries\" asks for",
                      kWritable, maxEntriesHonoured});
    checks.push_back({"listing.consistent_while_changing",
                      "while another connection creates and removes names, a listing gives no name twice and every "
                      "untouched name once",
                      kWritable, consistentWhileChanging});
    checks.push_back({"listing.root_stable", "the root lists the same names, once each, in batches of 3 and of 128",
                      kAnyServer, rootStable});
    checks.push_back({"listing.entries_match_lookup", "a listed entry has the node id and type that lookup gives",
                      kAnyServer, entriesMatchLookup});
    checks.push_back({"listing.two_connections_handles",
                      "a listing goes on undisturbed while a second connection opens, lists and closes the same "
                      "directory",
                      kAnyServer, handlesIndependent});
}

}  // namespace brindle::conform

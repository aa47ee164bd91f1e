#pragma once

#include "conform/connection.h"
#include "conform/target.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brindle::conform {

class Context;

// What a check needs the server to claim; the others are skipped, saying why.
enum Need : unsigned {
    kAnyServer = 0,
    kWritable = 1u << 0,  // the kit makes its fixtures in a scratch directory
    kReadOnly = 1u << 1,
    kXattrs = 1u << 2,
    kSymlinks = 1u << 3,
};

// One named check. Ids are stable: reports, scripts and the protocol's reference name them.
struct Check {
    std::string id;  // "group.name"
    std::string description;
    unsigned needs = kAnyServer;
    std::function<void(Context&)> run;

    std::string group() const { return id.substr(0, id.find('.')); }
};

// The catalogue, grouped, in the order the kit runs it.
const std::vector<Check>& allChecks();

// The scratch directory under the server's root in which checks make their fixtures.
struct Scratch {
    std::string name;
    uint64_t nodeID = 0;
    // Why there is none, when the kit could not make it.
    std::optional<std::string> failure;
};

// A directory of 1,000 files that the listing checks share; made once, on first use.
struct ThousandNames {
    uint64_t nodeID = 0;
    std::vector<std::string> names;
};

// What the kit shares between checks.
struct Session {
    const Target& target;
    uint64_t rootID = 0;
    Scratch scratch;
    std::optional<ThousandNames> thousandNames;
    std::optional<std::string> thousandNamesFailure;
};

// What one check works with: connections of its own, and a directory of its own in the scratch
// directory, made when it first asks.
class Context {
public:
    Context(Session& session, const Check& check) : session_(session), check_(check) {}

    const Target& target() const { return session_.target; }
    const Claims& claims() const { return session_.target.claims; }
    uint64_t rootID() const { return session_.rootID; }
    // The check's first connection, opened on first use.
    Connection& connection();
    // Another connection, for what two clients do to each other.
    std::unique_ptr<Connection> openConnection() const;
    // A fresh, empty directory for this check, named after it.
    uint64_t workDirectory();
    // Where that directory is in the export on this machine; none without --export.
    std::optional<std::string> workDirectoryOnExport();
    const ThousandNames& thousandNames();
    // Words the report adds to a passing check's line.
    void note(std::string text) { note_ = std::move(text); }
    const std::string& note() const { return note_; }

private:
    Session& session_;
    const Check& check_;
    std::unique_ptr<Connection> connection_;
    std::optional<uint64_t> workDirectory_;
    std::string note_;
};

// Each group's checks, in its own file.
void addHandshakeChecks(std::vector<Check>& checks);
void addRobustnessChecks(std::vector<Check>& checks);
void addShapeChecks(std::vector<Check>& checks);
void addErrorChecks(std::vector<Check>& checks);
void addListingChecks(std::vector<Check>& checks);
void addFileChecks(std::vector<Check>& checks);
void addNamespaceChecks(std::vector<Check>& checks);
void addLinkAndXattrChecks(std::vector<Check>& checks);
void addNameChecks(std::vector<Check>& checks);
void addExtensionChecks(std::vector<Check>& checks);
void addChangeNoticeChecks(std::vector<Check>& checks);
void addLockChecks(std::vector<Check>& checks);

}  // namespace brindle::conform

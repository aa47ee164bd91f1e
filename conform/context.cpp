#include "conform/check.h"

#include "conform/expect.h"

#include <fmt/format.h>

namespace brindle::conform {

Connection& Context::connection() {
    if (!connection_) connection_ = openConnection();
    return *connection_;
}

std::unique_ptr<Connection> Context::openConnection() const { return std::make_unique<Connection>(session_.target); }

std::optional<std::string> Context::workDirectoryOnExport() {
    if (session_.target.exportDirectory.empty()) return std::nullopt;
    workDirectory();
    return session_.target.exportDirectory + "/" + session_.scratch.name + "/" + check_.id;
}

uint64_t Context::workDirectory() {
    if (workDirectory_) return *workDirectory_;
    if (session_.scratch.failure) fail(*session_.scratch.failure);
    const auto directory = succeeded(connection().createDirectory(session_.scratch.nodeID, check_.id),
                                     "create_directory \"" + check_.id + "\" in the scratch directory");
    workDirectory_ = directory->nodeID;
    return *workDirectory_;
}

const ThousandNames& Context::thousandNames() {
    if (session_.thousandNamesFailure) fail(*session_.thousandNamesFailure);
    if (session_.thousandNames) return *session_.thousandNames;
    if (session_.scratch.failure) fail(*session_.scratch.failure);
    try {
        auto& connection = this->connection();
        ThousandNames made;
        made.nodeID = succeeded(connection.createDirectory(session_.scratch.nodeID, "thousand-names"),
                                "create_directory \"thousand-names\" in the scratch directory")
                          ->nodeID;
        // Names of different lengths and scripts, so that batches do not all weigh the same.
        for (int i = 0; i < 1000; ++i) {
            std::string name = fmt::format("entry-{:04}", i);
            if (i % 7 == 0) name += "-\u00fcn\u00efc\u00f6d\u00e9-\u65e5\u672c";
            if (i % 11 == 0) name += "-" + std::string(120, 'l');
            succeeded(connection.createFile(made.nodeID, name), "create_file \"" + name + "\"");
            made.names.push_back(std::move(name));
        }
        session_.thousandNames = std::move(made);
    } catch (const CheckFailed& failure) {
        session_.thousandNamesFailure = std::string("making a directory of 1,000 files failed: ") + failure.what();
        throw CheckFailed(*session_.thousandNamesFailure);
    }
    return *session_.thousandNames;
}

}  // namespace brindle::conform

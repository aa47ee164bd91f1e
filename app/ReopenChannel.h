#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace orvel {

// Lets a second launch of the program ask the running one to show its window again, the way a
// click on a running application's icon re-opens it. The socket lives in the user's private
// runtime folder; a connection is the whole request.
class ReopenChannel final : public QObject {
    Q_OBJECT

public:
    explicit ReopenChannel(QString socketPath, QObject* parent = nullptr);

    // True when an instance listening on the path took the request.
    bool askRunningInstance();
    // Listens for requests, replacing a socket that no instance answers on any more.
    bool listen();

Q_SIGNALS:
    void reopenRequested();

private:
    QString socketPath_;
    QLocalServer server_;
};

} // namespace orvel
